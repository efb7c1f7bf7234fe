// What the workers need to route a unit, read off the wire format without
// copying any of it: a data message's payload can be 64 MiB, and the bridge
// forwards the very bytes it received, so a full parse would copy (and
// allocate) the payload only to throw the copy away.
//
// It accepts exactly the units the full parse (ParseUnit) accepts, and
// reports the same kinds and fields: the same limits on varints, tags,
// lengths and nesting, fields repeated or split over several occurrences
// merged as the full parse merges them (the last occurrence of a scalar or
// of a name wins; a body replaced by another one starts empty), unknown
// fields and groups skipped with the same checks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "proto/kvx.pb.h"

struct MessageKind {
  KVX::Message::ContentCase content = KVX::Message::CONTENT_NOT_SET;
  KVX::Request::BodyCase requestBody = KVX::Request::BODY_NOT_SET;
  KVX::Response::BodyCase responseBody = KVX::Response::BODY_NOT_SET;
  // transfer_data.channel_id or disconnect_channel_request.channel_id, for
  // the request body that holds one; 0 otherwise.
  int64_t channelId = 0;
  // connect_channel_request.channel_name or get_property_request.property_name,
  // for the request body that holds one; empty otherwise. Points into the
  // bytes that were read.
  std::string_view name;
};

// True when the bytes are one unit the full parse would accept, with `kind`
// filled in. False otherwise; `kind` is then of no use, and a caller that
// goes on with such a unit parses it in full to learn what it held.
bool ReadMessageKind(const std::string& bytes, MessageKind* kind);

// The same facts taken from a unit parsed in full (or as far as the full
// parse got); `name` points into `message`.
MessageKind KindOfParsed(const KVX::Message& message);
