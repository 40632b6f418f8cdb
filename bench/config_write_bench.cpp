// What a resize of the main window costs in config.ini writes: each restored
// size stores wnd, cx and cy. Timed as three writes of one key each and as one
// change of the three keys, on a config.ini like the program's in the system's
// temporary folder (on disk, so each replacement pays for its flush).
// Count the file operations per resize of one way with
//   strace -f -c config_write_bench 200 keys     (or: change)
//
// config_write_bench [RESIZES] [keys|change]   (default 200, both ways)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "settings/config_file.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

const char kConfig[] =
    "wnd = 5\r\ncx = 800\r\ncy = 600\r\ntmp_dir = tmp\\\r\nok_dir = ok\\\r\nlog_dir = .\\\r\nuse_log = 0\r\n"
    "tray = 0\r\nclear_tmp = 1\r\ntimeout = 5\r\nupd_speed = 250\r\nuse_spl = 0\r\nfrequency = 11766\r\n"
    "symbol_rate = 27500\r\npolarity = 1\r\nlof1 = 9750\r\nlof2 = 10600\r\nswitch = 11700\r\ndiseqc = 0\r\n"
    "pids = 256\r\nsort = 0\r\n";

// Microseconds per resize of `count` resizes, each to a size of its own.
template <typename Resize>
double timed(const wchar_t* path, int count, Resize resize) {
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) resize(path, 600 + i % 200, 400 + i % 150);
    std::chrono::duration<double, std::micro> spent = Clock::now() - start;
    return spent.count() / count;
}

}  // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 200;
    if (count < 1) count = 1;
    fs::path root = fs::temp_directory_path() / "quillmoth-config-bench";
    std::error_code ignored;
    fs::remove_all(root, ignored);
    fs::create_directories(root);
    fs::path file = root / "config.ini";
    std::ofstream(file, std::ios::binary) << kConfig;
    std::wstring path = file.wstring();

    const char* only = argc > 2 ? argv[2] : "";
    if (std::strcmp(only, "change") != 0) {
        double separate = timed(path.c_str(), count, [](const wchar_t* to, int cx, int cy) {
            writeConfigIntTo(to, "wnd", 5);
            writeConfigIntTo(to, "cx", cx);
            writeConfigIntTo(to, "cy", cy);
        });
        std::printf("resize as three one-key writes: %8.1f us\n", separate);
    }
    if (std::strcmp(only, "keys") != 0) {
        double together = timed(path.c_str(), count, [](const wchar_t* to, int cx, int cy) {
            ConfigChange change;
            setConfigInt(change, "wnd", 5);
            setConfigInt(change, "cx", cx);
            setConfigInt(change, "cy", cy);
            writeConfigChangeTo(to, change);
        });
        std::printf("resize as one change of three:  %8.1f us\n", together);
    }
    int32_t cx = 0;
    readConfigIntFrom(path.c_str(), "cx", &cx);
    fs::remove_all(root, ignored);
    return cx == 600 + (count - 1) % 200 ? 0 : 1;
}
