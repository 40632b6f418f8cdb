#include "plugins/dvb_tuning.h"

LnbSetting lnbSetting(int32_t frequency, int32_t polarity, int32_t lof1, int32_t lof2, int32_t switchFrequency) {
    LnbSetting lnb;
    lnb.horizontal = polarity == 0;
    lnb.highBand = lof2 != 0 && switchFrequency != 0 && frequency >= switchFrequency;
    const int64_t difference = int64_t(frequency) - (lnb.highBand ? lof2 : lof1);
    lnb.intermediateKHz = int32_t(difference < 0 ? -difference : difference);
    return lnb;
}

SwitchCommand switchCommand(int32_t kind, int32_t command, const LnbSetting& lnb) {
    SwitchCommand result;
    if (kind == 1) {
        // A simple switch only has the position, bit 2.
        result.burst = (command & 0x04) ? 'b' : 'a';
    } else if (kind == 2) {
        // Framing "from master, no reply", any LNB or switch, "write N0":
        // position and option from the program, band and polarity ours.
        result.message[0] = 0xE0;
        result.message[1] = 0x10;
        result.message[2] = 0x38;
        result.message[3] = uint8_t(0xF0 | (command & 0x0C) | (lnb.horizontal ? 0x02 : 0) | (lnb.highBand ? 0x01 : 0));
        result.length = 4;
    }
    return result;
}
