// What the card is told for a transponder: intermediate frequency, band,
// polarity and the switch's command.
#include <gtest/gtest.h>

#include "plugins/dvb_tuning.h"

namespace {

TEST(DvbTuning, ChoosesTheOscillatorBandAndVoltage) {
    const struct {
        int32_t frequency, polarity, lof1, lof2, switchFrequency;
        int32_t intermediate;
        bool high, horizontal;
    } rows[] = {
        {11766000, 1, 9750000, 10600000, 11700000, 1166000, true, false},
        {11494000, 1, 9750000, 10600000, 11700000, 1744000, false, false},
        {12188000, 0, 9750000, 10600000, 11700000, 1588000, true, true},
        {11700000, 1, 9750000, 10600000, 11700000, 1100000, true, false},   // the switch itself is high band
        {11699999, 1, 9750000, 10600000, 11700000, 1949999, false, false},
        {12188000, 0, 10750000, 0, 11700000, 1438000, false, true},         // one oscillator: tone off
        {12188000, 0, 10750000, 10600000, 0, 1438000, false, true},
        {3900000, 1, 5150000, 0, 0, 1250000, false, false},                 // C band: the oscillator above
    };
    for (const auto& row : rows) {
        LnbSetting lnb = lnbSetting(row.frequency, row.polarity, row.lof1, row.lof2, row.switchFrequency);
        EXPECT_EQ(lnb.intermediateKHz, row.intermediate) << row.frequency;
        EXPECT_EQ(lnb.highBand, row.high) << row.frequency;
        EXPECT_EQ(lnb.horizontal, row.horizontal) << row.frequency;
    }
}

TEST(DvbTuning, BuildsTheSwitchCommand) {
    const struct {
        int32_t kind, command;
        bool high, horizontal;
        int length;
        uint8_t last;
        char burst;
    } rows[] = {
        {0, 0, false, false, 0, 0, 0},
        {1, 0xF0, true, true, 0, 0, 'a'},
        {1, 0xF4, false, false, 0, 0, 'b'},
        {2, 0xF0, false, false, 4, 0xF0, 0},
        {2, 0xF0, true, false, 4, 0xF1, 0},
        {2, 0xF4, false, true, 4, 0xF6, 0},
        {2, 0xF8, true, true, 4, 0xFB, 0},
        {2, 0xFC, false, false, 4, 0xFC, 0},
    };
    for (const auto& row : rows) {
        LnbSetting lnb;
        lnb.highBand = row.high;
        lnb.horizontal = row.horizontal;
        SwitchCommand c = switchCommand(row.kind, row.command, lnb);
        EXPECT_EQ(c.length, row.length) << row.kind << " " << row.command;
        EXPECT_EQ(c.burst, row.burst) << row.kind << " " << row.command;
        if (c.length == 4) {
            EXPECT_EQ(c.message[0], 0xE0);
            EXPECT_EQ(c.message[1], 0x10);
            EXPECT_EQ(c.message[2], 0x38);
            EXPECT_EQ(c.message[3], row.last) << row.command;
        }
    }
}

}  // namespace
