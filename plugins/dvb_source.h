// A DVB card through the Linux kernel's devices under /dev/dvb.
#pragma once

#include <string>

#include "plugins/plugin_common.h"

// The keys of streamreader.ini that the card reads.
#define QM_DVB_SETTINGS_KEYS "adapter", "frontend", "delivery"

class DvbSource : public PacketSource {
public:
    // From streamreader.ini, already read; checks that the frontend is there.
    virtual bool configure(const SettingsFile& file, std::string& error) = 0;
};

DvbSource& theDvbSource();
