// Binds the bridge to this plug-in's send and property routines. It lives with
// the plug-in so that the bridge itself can be built and tested without it.
#include <string>
#include <utility>

#include "src/application/common/PcoipVchan/ChannelBridge.h"
#include "src/application/common/PcoipVchan/PcoipVchanFlowLink.h"
#include "src/application/common/PcoipVchan/PcoipVchanPaceLink.h"
#include "src/application/common/PcoipVchan/PcoipVchanPlugin.h"

bool ChannelBridge::Initialize(bool isServer, std::string pipeName) {
  if (FlowControlOffered()) {
    LinkControlRoutines routines;
    routines.sendDueMarker = &SendDueFlowMarker;
    routines.sendRecords = &SendFlowRecords;
    if (PacingOffered()) {
      routines.sendDueReports = &SendDueLinkReports;
      routines.pacing = &PacingNow;
      routines.sendPiece = &SendMessagePiece;
    }
    SetLinkControlRoutines(routines);
  }
  return InitializeWith(isServer, std::move(pipeName), &SendOverPcoip, &GetPropertyValue,
                        &ChannelIsOpen);
}
