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

// The payload of a report on what arrived (pacing between two of our ends),
// 12 bytes, little-endian: offset 0 u32 the data sender's epoch, offset 4
// u64 the bytes of its messages' datagrams taken in since.
struct FeedbackReport {
  uint32_t epoch = 0;
  uint64_t takenIn = 0;
};
constexpr size_t kFeedbackReportBytes = 12;
void AppendFeedbackReport(const FeedbackReport& report, std::string* payload);
// False when the payload is not exactly one report.
bool ReadFeedbackReport(const uint8_t* payload, size_t size, FeedbackReport* report);

}  // namespace flow
