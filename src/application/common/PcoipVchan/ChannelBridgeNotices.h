// The messages the bridge builds itself, its diagnostics, and the one way it
// parses what arrives.
#pragma once

#include <cstdint>
#include <string>

#include "proto/kvx.pb.h"

namespace ChannelBridgeText {
constexpr char kParseError[] = "ERROR: PCoiP parse error.";
constexpr char kInvalidPipeId[] = "ERROR: Invalid pipe ID.";
constexpr char kUnexpectedRequest[] = "WARNING: Unexpected request case.";
constexpr char kUnexpectedResponse[] = "WARNING: Unexpected response case.";
constexpr char kLaunchFailed[] = "ERROR: Unexpected execution result.";
constexpr char kPipeQueueWaitFailed[] = "WARNING: Unexpected event while processing pipe queue.";
constexpr char kPcoipQueueWaitFailed[] = "WARNING: Unexpected event while processing PCoIP queue.";
constexpr char kLaunchDropped[] = "ERROR: Launch dropped; too many launches waiting.";
constexpr char kChannelTableFull[] = "ERROR: Channel table full; connect request refused.";
constexpr char kPeerBacklogFull[] =
    "ERROR: Answer for the peer dropped; the peer is not reading its channel.";
constexpr char kDataFromNonHolder[] =
    "ERROR: Data for a channel its application does not hold; message dropped.";
constexpr char kPiecesCut[] =
    "ERROR: The link closed while a message went in pieces; the rest of it dropped.";
constexpr char kChannelNameTooLong[] = "ERROR: Channel name too long; connect request refused.";
constexpr char kAdoptedIdInUse[] =
    "WARNING: The peer's ID for a channel is another channel's here; this end's ID stays.";
// "ERROR: Write to pipe N timed out; a message was lost and the client
// disconnected." for pipe IDs 0 to 5 (texts that live for the process).
const char* WriteTimedOut(int32_t pipeId);
}  // namespace ChannelBridgeText

// How an end answers the peer's connect request that it refuses (its table is
// full, or the name is too long for it): (name, -1, status) with one of these.
// Not CONNECTION_LOST: an end that addresses every notice by its ID would take
// a LOST with the ID -1 for the first of its channels still waiting for an ID,
// whichever application that is; any other status it passes on unchanged (the
// name says whose request it was) or drops. Our ends tell their requester
// (name, -1, CONNECTION_LOST), as when they refuse a request themselves.
constexpr KVX::ResultCode kRefusedTableFull = KVX::GENERIC_ERROR;
constexpr KVX::ResultCode kRefusedNameTooLong = KVX::INVALID_ARGUMENT;

// A connection notice: a Message whose response holds only a
// channel_connection_response with these three fields, serialised.
std::string BuildConnectionNotice(const std::string& channelName, int64_t channelId,
                                  KVX::ResultCode status);

// A connect request for a channel name, with nothing else set, serialised.
std::string BuildConnectRequest(const std::string& channelName);

// The answer to a property request, serialised.
std::string BuildPropertyAnswer(const std::string& propertyName, const std::string& value);

// A Message around a new Response holding a copy of `response` (its unknown
// fields included), serialised.
std::string WrapConnectionResponse(const KVX::ChannelConnectionResponse& response);

// A look at the wire format alone, cheap enough for every message a pipe
// reads (it never reads a payload): which of these request bodies the bytes
// hold. A body not found is surely not there; one found may still not parse.
constexpr unsigned kWireConnect = 1;
constexpr unsigned kWireDisconnect = 2;
constexpr unsigned kWireProperty = 4;
unsigned RequestBodiesOnWire(const std::string& bytes);

// Parses one whole unit into a cleared message. On failure the message keeps
// what was read before the fault, and the caller goes on with that.
bool ParseUnit(const std::string& bytes, KVX::Message* message);
