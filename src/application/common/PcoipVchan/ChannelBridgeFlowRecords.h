// The payload of a flow-control datagram: records of a fixed size, each
// telling one channel's credit in one direction. Both ends build and read
// them here; the datagram around them is the plug-in's (PcoipVchanFlowLink).
//
// A record is 28 bytes, little-endian:
//   offset 0   u32  kind: 1 grant, 2 ask; any other kind is skipped
//   offset 4   u32  epoch: the data sender's count it started afresh with
//   offset 8   i64  channel ID
//   offset 16  i64  grant: the total the receiver allows; ask: the total sent
//   offset 24  u32  grant: the receiver's window; ask: 0
// A payload that is not a whole number of records is read as far as it
// holds whole ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace flow {

enum class RecordKind : uint32_t { kGrant = 1, kAsk = 2 };

struct CreditRecord {
  RecordKind kind = RecordKind::kGrant;
  uint32_t epoch = 0;
  int64_t channelId = 0;
  int64_t total = 0;
  uint32_t window = 0;
};

constexpr size_t kCreditRecordBytes = 28;

// Appends the record's 28 bytes to `payload`.
void AppendRecord(const CreditRecord& record, std::string* payload);
// The records of a payload, in order; unknown kinds are left out.
std::vector<CreditRecord> ReadRecords(const uint8_t* payload, size_t size);

}  // namespace flow
