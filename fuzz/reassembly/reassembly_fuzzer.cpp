// Any sequence of datagrams, as the receive thread would read them, fed to
// the reassembler: sequences out of order, repeated or missing, fragments of
// an abandoned message, and header words that lie about the payload length or
// about the bytes actually read.
//
// Each datagram lives in a heap block exactly as long as what was read (at
// least its header), so AddressSanitizer reports any read beyond it. Checked:
//   - a message handed on is exactly the payloads of the datagrams that
//     immediately preceded it, numbered 0..n in order, all honest about their
//     length, none but the last marked last;
//   - conversely, such a run always yields its message;
//   - nothing else is ever handed on.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "src/application/common/PcoipVchan/PcoipVchanReassembler.h"
#include "src/application/common/PcoipVchan/PcoipVchanState.h"

namespace {

struct Fed {
  uint32_t sequence;
  uint32_t payloadLength;
  uint32_t lastFragment;
  uint32_t length;  // bytes read
  std::string payload;  // the payload bytes the header describes, when honest
  bool honest;          // the header claims no more than was read
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "reassembly_fuzzer: %s\n", what);
  std::abort();
}

// Log lines go to the host's log function when it has one; a silent one keeps
// the fuzzer fast.
int32_t QuietLog(const char*, int32_t, int32_t, const char*) { return 0; }

class Program {
 public:
  Program(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return pos_ >= size_; }
  uint8_t Next() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(Next()) << (8 * i);
    return value;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The run of honest datagrams 0..n that ends at `last`, or -1 when the
// datagrams before it do not form one.
long RunStart(const std::vector<Fed>& fed) {
  const size_t last = fed.size() - 1;
  if (!fed[last].honest || fed[last].lastFragment == 0) return -1;
  size_t i = last;
  for (;;) {
    if (fed[i].sequence == 0) return static_cast<long>(i);
    if (i == 0) return -1;
    const Fed& before = fed[i - 1];
    if (!before.honest || before.lastFragment != 0 || before.sequence + 1 != fed[i].sequence) {
      return -1;
    }
    --i;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_plugin_context.vchan_intf.log = &QuietLog;
  DatagramReassembler reassembler("fuzz");
  Program program(data, size);
  std::vector<Fed> fed;
  uint32_t now = 0;

  while (!program.Done() && fed.size() < 4096) {
    const uint8_t kind = program.Next();
    now += kind >> 4;
    if ((kind & 0x0F) == 0x0F) {
      reassembler.OnWake(now);
      continue;
    }
    Fed d{};
    std::string read;  // the payload bytes that came with the datagram
    // Mostly small sequence numbers, so that runs in order happen often.
    d.sequence = (kind & 0x08) != 0 ? program.Word() : program.Next() % 4;
    d.lastFragment = (kind & 0x04) != 0 ? ((kind & 0x02) != 0 ? program.Word() : 1u) : 0u;
    const uint32_t carried = program.Next() % 40;
    for (uint32_t i = 0; i < carried; ++i) read.push_back(static_cast<char>(program.Next()));
    d.length = kDatagramHeaderSize + carried;
    d.payloadLength = carried;
    if ((kind & 0x01) != 0) {
      // A lie: a payload length other than what came, or fewer bytes read
      // than the header claims.
      switch (program.Next() % 4) {
        case 0: d.payloadLength = program.Word(); break;
        case 1: d.payloadLength = carried + 1 + program.Next(); break;
        case 2: d.length = program.Next() % kDatagramHeaderSize; break;
        default: d.payloadLength = kDatagramPayloadCapacity + 1 + program.Next(); break;
      }
    }
    // A header that claims fewer bytes than came is no lie: the rest is
    // ignored. One that claims more than came, or more than the buffer's
    // payload area, must never be believed.
    d.honest = d.length >= kDatagramHeaderSize && d.payloadLength <= d.length - kDatagramHeaderSize &&
               d.payloadLength <= kDatagramPayloadCapacity;
    if (d.honest) d.payload = read.substr(0, d.payloadLength);

    // Exactly the bytes read, header included; never less than the header,
    // which the receive thread's full-size buffer always has room for.
    const size_t block = d.length < kDatagramHeaderSize ? kDatagramHeaderSize : d.length;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[block]);
    const uint32_t header[4] = {1u, d.sequence, d.payloadLength, d.lastFragment};
    std::memcpy(bytes.get(), header, sizeof(header));
    std::memcpy(bytes.get() + kDatagramHeaderSize, read.data(),
                block - kDatagramHeaderSize < read.size() ? block - kDatagramHeaderSize
                                                          : read.size());
    fed.push_back(d);

    std::string message;
    const bool completed = reassembler.OnDatagram(
        *reinterpret_cast<const VchanDatagram*>(bytes.get()), d.length, now, &message);
    const long start = RunStart(fed);
    if (completed) {
      if (start < 0) Fail("handed on a message that is not one whole run of fragments 0..n");
      std::string expected;
      for (size_t i = static_cast<size_t>(start); i < fed.size(); ++i) expected += fed[i].payload;
      if (message != expected) Fail("handed-on message differs from its fragments");
    } else if (start >= 0) {
      Fail("a whole run of fragments 0..n yielded no message");
    }
  }
  return 0;
}
