// The plug-in's internal routines: channel lifecycle, datagram transfer and
// session properties. The exported entry points are declared with the host
// interface (PcoipVchanHost.h).
#pragma once

#include <cstdint>
#include <string>

#include "src/application/common/PcoipVchan/PcoipVchanHost.h"

// Sets up the channel side at one end (1 server, 0 client): transmit lock,
// context, RX_RDY event, receive thread, connect callback registration.
// 0 or a negative code.
int32_t init_sample_vchan(int32_t isServer, const pcoip_vchan_intf* vchanIntf);
// Undoes init_sample_vchan; every step runs even when an earlier one fails.
int32_t exit_sample_vchan(void* context);

extern "C" {
// Registered with the host; `context` is the channel record.
void connect_callback(void* context, void* reserved, uint32_t event, const uint32_t* eventData);
void chan_callback(void* context, void* reserved, uint32_t event, void* eventData);
}

void open_channel_client(void* link);
void open_channel_server(void* link);

// Body of the receive thread; `link` is the channel record.
uint32_t rx_thread_entry(void* link);

// Sends one message to the peer as a run of datagrams, whole, under the
// transmit lock. Refused (with a log line) when the channel is not open or
// the plug-in has exited.
void SendOverPcoip(const std::string& message);

// Whether the host has reported the channel open (event 0) and not closed
// since (events 2 and 3); until it has, nothing is sent on it.
bool ChannelIsOpen();

// "KVXCoreType" and "Hwnds"; the empty string for anything else.
std::string GetPropertyValue(const std::string& key);
