// The packet source that receives from a SAT>IP server: an RTSP session
// tuned as the program asks, RTP over UDP or inside the RTSP connection.
#pragma once

#include "plugins/plugin_common.h"

// Reads its keys (server, msys, transport, interface) from `settingsFile`.
PacketSource& satipSource(const char* settingsFile);
