// What a card needs to hear for a transponder behind an LNB and a switch:
// the intermediate frequency, band, voltage and tone, and the switch's
// command. Pure arithmetic, so that it is checked on every platform.
#pragma once

#include <cstdint>

struct LnbSetting {
    int32_t intermediateKHz = 0;  // what the frontend tunes to
    bool highBand = false;        // the 22 kHz tone on
    bool horizontal = false;      // 18 V; vertical is 13 V
};

// Frequencies in kHz, polarity 0 horizontal / 1 vertical. An LNB with one
// oscillator (lof2 or the switch frequency 0) always takes lof1, tone off.
LnbSetting lnbSetting(int32_t frequency, int32_t polarity, int32_t lof1, int32_t lof2, int32_t switchFrequency);

// The switch's request as the program made it (SendDiSEqC's kind and
// command byte) for a given band and polarity.
struct SwitchCommand {
    uint8_t message[4] = {};  // a committed switch's command; length 0 when none
    int length = 0;
    char burst = 0;  // 'a' or 'b' for a simple switch, 0 for none
};

SwitchCommand switchCommand(int32_t kind, int32_t command, const LnbSetting& lnb);
