#include "platform/critical_section.h"

#include "platform/win32/win32_api.h"

namespace platform {

CriticalSection::~CriticalSection() { Delete(); }

void CriticalSection::Initialize() {
  Delete();
  auto* section = new CRITICAL_SECTION;
  InitializeCriticalSection(section);
  impl_ = section;
}

void CriticalSection::Delete() {
  auto* section = static_cast<CRITICAL_SECTION*>(impl_);
  if (section == nullptr) return;
  impl_ = nullptr;
  DeleteCriticalSection(section);
  delete section;
}

void CriticalSection::Enter() {
  if (impl_ != nullptr) EnterCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
}

void CriticalSection::Leave() {
  if (impl_ != nullptr) LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
}

}  // namespace platform
