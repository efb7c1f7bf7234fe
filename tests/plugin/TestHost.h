// A PCoIP host inside the test process: implements the interface table with
// recorders and scripted results, so tests can drive the plug-in's callbacks
// and see every host call and log line it makes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "src/application/common/PcoipVchan/PcoipVchanHost.h"

struct LogLine {
  std::string tag;
  int32_t level;
  int32_t code;
  std::string text;
};

struct OpenCall {
  std::string name;
  uint32_t flags;
  uint32_t cfg;
  uint32_t maxPacketSize;
};

// One scripted read: a datagram's bytes, or a result code with no datagram.
struct ReadItem {
  std::string bytes;
  int32_t result = 0;
};

class TestHost {
 public:
  static TestHost& Get();

  // Forgets every recording and script; keeps the callbacks the plug-in
  // registered (they belong to the plug-in's current life).
  void Reset();
  pcoip_vchan_intf Table(bool withLog = true) const;

  // ---- recordings ----
  std::vector<LogLine> Logs();
  std::vector<std::string> SentDatagrams();
  std::vector<OpenCall> Opens();
  std::vector<uint32_t> Unregistrations();
  // Waits up to `timeout` for a line whose text contains `needle`.
  bool WaitForLog(const std::string& needle, std::chrono::milliseconds timeout =
                                                  std::chrono::seconds(10));
  bool HasLog(const std::string& needle);
  // Waits until the plug-in has read every queued datagram.
  bool WaitForReadsTaken(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // ---- scripts ----
  void SetResults(int32_t registerResult, int32_t unregisterResult, int32_t openResult);
  void SetStateQuery(int32_t result, uint32_t maxPacketSize);
  void SetMaxDatagramSize(int32_t result, uint32_t size);
  void SetCountResult(int32_t result);
  // Announce `extra` more datagrams than are queued (a host that miscounts).
  void SetCountBias(uint32_t extra);
  void SetSendFailureAt(int index, int32_t result);
  // Sent datagrams come straight back as received ones, with a ready event.
  void SetLoopback(bool on);
  void QueueRead(ReadItem item);

  // ---- callbacks into the plug-in ----
  void FireConnect(uint32_t event, uint32_t data);
  void FireChannel(uint32_t event);
  bool HasChannelCallback();

  // ---- the table's entries ----
  static int32_t Register(const char* name, pcoip_vchan_connect_cback cback, void* context,
                          uint32_t* registration);
  static int32_t Unregister(uint32_t registration);
  static int32_t Open(const char* name, uint32_t flags, uint32_t cfg, uint32_t maxPacketSize,
                      pcoip_vchan_chan_cback cback, void* context, uint32_t* handle);
  static int32_t SendDatagram(uint32_t handle, const void* dgram, uint32_t size, uint32_t timeout);
  static int32_t Read(uint32_t handle, void* buffer, uint32_t size, uint32_t* length,
                      uint32_t flags);
  static int32_t CountReceived(uint32_t handle, uint32_t* count);
  static int32_t StateByName(const char* name, uint32_t* state, uint32_t* registration,
                             uint32_t* maxPacketSize);
  static int32_t MaxDatagramSize(uint32_t* size);
  static int32_t Log(const char* tag, int32_t level, int32_t code, const char* text);

  static constexpr uint32_t kHandle = 77;
  static constexpr uint32_t kRegistration = 5;

 private:
  std::mutex mutex_;
  std::condition_variable logged_;
  std::vector<LogLine> logs_;
  std::vector<std::string> sent_;
  std::vector<OpenCall> opens_;
  std::vector<uint32_t> unregistrations_;
  std::deque<ReadItem> reads_;
  int32_t registerResult_ = 0, unregisterResult_ = 0, openResult_ = 0;
  int32_t stateResult_ = 0;
  uint32_t statePacketSize_ = 3000;
  int32_t maxDgramResult_ = 0;
  uint32_t maxDgramSize_ = 5016;
  int32_t countResult_ = 0;
  uint32_t countBias_ = 0;
  int sendFailureIndex_ = -1;
  int32_t sendFailureResult_ = 0;
  bool loopback_ = false;
  pcoip_vchan_connect_cback connectCallback_ = nullptr;
  void* connectContext_ = nullptr;
  pcoip_vchan_chan_cback channelCallback_ = nullptr;
  void* channelContext_ = nullptr;
};

// Builds one datagram as it travels: the 16-byte little-endian header and the
// payload. `claimedLength` overrides payload_length when given.
std::string MakeDatagram(uint32_t sequence, const std::string& payload, bool last,
                         int64_t claimedLength = -1);

// Decodes a sent datagram's header.
struct DatagramHeader {
  uint32_t marker, sequence, payloadLength, lastFragment;
};
DatagramHeader HeaderOf(const std::string& datagram);
