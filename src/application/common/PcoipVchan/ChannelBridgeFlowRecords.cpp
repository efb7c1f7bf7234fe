#include "src/application/common/PcoipVchan/ChannelBridgeFlowRecords.h"

namespace flow {
namespace {

void PutLittleEndian(uint64_t value, int bytes, std::string* out) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t GetLittleEndian(const uint8_t* at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(at[i]) << (8 * i);
  return value;
}

}  // namespace

void AppendRecord(const CreditRecord& record, std::string* payload) {
  PutLittleEndian(static_cast<uint32_t>(record.kind), 4, payload);
  PutLittleEndian(record.epoch, 4, payload);
  PutLittleEndian(static_cast<uint64_t>(record.channelId), 8, payload);
  PutLittleEndian(static_cast<uint64_t>(record.total), 8, payload);
  PutLittleEndian(record.window, 4, payload);
}

std::vector<CreditRecord> ReadRecords(const uint8_t* payload, size_t size) {
  std::vector<CreditRecord> records;
  for (size_t at = 0; at + kCreditRecordBytes <= size; at += kCreditRecordBytes) {
    const uint8_t* bytes = payload + at;
    const uint32_t kind = static_cast<uint32_t>(GetLittleEndian(bytes, 4));
    if (kind != static_cast<uint32_t>(RecordKind::kGrant) &&
        kind != static_cast<uint32_t>(RecordKind::kAsk)) {
      continue;  // a kind of a later version
    }
    CreditRecord record;
    record.kind = static_cast<RecordKind>(kind);
    record.epoch = static_cast<uint32_t>(GetLittleEndian(bytes + 4, 4));
    record.channelId = static_cast<int64_t>(GetLittleEndian(bytes + 8, 8));
    record.total = static_cast<int64_t>(GetLittleEndian(bytes + 16, 8));
    record.window = static_cast<uint32_t>(GetLittleEndian(bytes + 24, 4));
    records.push_back(record);
  }
  return records;
}

void AppendFeedbackReport(const FeedbackReport& report, std::string* payload) {
  PutLittleEndian(report.epoch, 4, payload);
  PutLittleEndian(report.takenIn, 8, payload);
}

bool ReadFeedbackReport(const uint8_t* payload, size_t size, FeedbackReport* report) {
  if (size != kFeedbackReportBytes) return false;
  report->epoch = static_cast<uint32_t>(GetLittleEndian(payload, 4));
  report->takenIn = GetLittleEndian(payload + 4, 8);
  return true;
}

}  // namespace flow
