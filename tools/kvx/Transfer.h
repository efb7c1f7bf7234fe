// Sending input on a channel, for send and cat: a pump that reads and sends
// on a thread of its own, and the words for a transfer that was cut.
//
// The protocol has no acknowledgement. A sender knows that its data went to
// the plug-in in order, and that the far application was still there when
// each message went; it cannot know that the far application read the last
// messages. So a far side that leaves or vanishes before the input is all
// sent is a failure, and a sender that is interrupted leaves without the
// polite disconnect (the far side reads the channel lost, not "all sent").
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/kvx/Common.h"
#include "tools/kvx/Input.h"
#include "tools/kvx/OutputPump.h"

namespace kvx {

// Reads its source and sends each piece as one message. A read from standard
// input or a send into a full pipe cannot be interrupted portably, so the
// pump has a thread of its own and the command's thread stays free to watch
// for Ctrl-C and for the far side.
class InputPump {
 public:
  struct Status {
    bool finished = false;  // the thread has ended
    bool complete = false;  // it reached the end of input and sent it all
    Error sendError;
    std::string readError;  // not empty when reading failed
    uint64_t bytes = 0;     // sent so far
    bool sending = false;   // a send is under way (its bytes not counted yet)
    uint64_t messages = 0;
  };

  InputPump(Channel channel, std::unique_ptr<InputSource> source, int64_t appValue);
  // Joins the thread when it has finished; otherwise it is left to the
  // process's end (EndCommand).
  ~InputPump();
  InputPump(const InputPump&) = delete;
  InputPump& operator=(const InputPump&) = delete;

  void Start();
  Status Get() const;
  // The status once the pump has finished, or after half a second: a pump
  // that has sent everything may not have read the end of its input yet
  // when the far side's leaving arrives.
  Status WaitBriefly() const;
  // The status once no send is under way, after the session was closed
  // under the pump (which ends a blocked send), or after a second.
  Status Settle() const;

 private:
  void Run();

  Channel channel_;
  std::unique_ptr<InputSource> source_;
  const int64_t appValue_;
  mutable std::mutex mutex_;
  Status status_;
  std::thread thread_;
};

// "3879731 bytes (3.7 MiB)".
std::string DescribeBytes(uint64_t bytes);

// The far side left or vanished (`why`, from the channel) before the input
// was all sent: the error to report, with how much had been sent.
Error CutBeforeDone(const Error& why, const std::string& name, uint64_t sent);

// The far side vanished or the plug-in went away (`why`) while receiving:
// `why` with how much had arrived.
Error CutWhileReceiving(const Error& why, uint64_t received);

// Ends a command that sends, after Ctrl-C or after a cut: closes the session
// without leaving the channel, so that the far side reads the channel lost
// rather than the polite leave that means "all sent".
void LeaveAbruptly(std::unique_ptr<Session>& session);

// The command's exit: returns `code` when the pump has finished (and
// `output`, when given, is not in a write), or else ends the process here,
// since its thread may be blocked in a read or write that nothing can
// interrupt.
int EndCommand(InputPump& pump, int code, const OutputPump* output = nullptr);

}  // namespace kvx
