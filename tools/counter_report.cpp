#include "tools/counter_report.h"

#include <cinttypes>

#include "platform/platform.h"
#include "settings/wide_format.h"

namespace {

struct CounterLine {
    const char* label;
    std::atomic<uint64_t> ExtractionCounters::*counter;
};

const CounterLine kDatagramLines[] = {
    {"получено", &ExtractionCounters::datagrams},
    {"короче заголовка", &ExtractionCounters::tooShort},
    {"не того типа", &ExtractionCounters::wrongType},
    {"с неверной контрольной суммой", &ExtractionCounters::badCheck},
    {"длиннее 2048 байт", &ExtractionCounters::tooLong},
    {"объекта, начало которого пропущено", &ExtractionCounters::notOurs},
    {"повторы первой датаграммы", &ExtractionCounters::firstRepeats},
    {"опоздавшие к концу объекта", &ExtractionCounters::lateForClosing},
    {"с номером за пределами длины объекта", &ExtractionCounters::beyondLength},
    {"сверх предела памяти объекта", &ExtractionCounters::tooManySegments},
    {"первые, которые не распаковываются", &ExtractionCounters::notInflated},
    {"первые с негодным заголовком", &ExtractionCounters::headerRefused},
    {"отвергнуто фильтрами", &ExtractionCounters::filterRefused},
    {"без каталога tmp_dir", &ExtractionCounters::noTmpDir},
    {"временный файл не создан", &ExtractionCounters::tempFileFailed},
};

const CounterLine kObjectLines[] = {
    {"начато", &ExtractionCounters::started},
    {"получено целиком", &ExtractionCounters::completed},
    {"сохранено", &ExtractionCounters::placed},
    {"не удалось собрать", &ExtractionCounters::assemblyFailed},
    {"брошено по тайм-ауту", &ExtractionCounters::timedOut},
    {"удалено пользователем", &ExtractionCounters::cancelled},
    {"прервано следующим объектом", &ExtractionCounters::replaced},
    {"ошибка распаковки", &ExtractionCounters::failed},
    {"ошибка записи временного файла", &ExtractionCounters::writeFailed},
    {"больше объявленной длины", &ExtractionCounters::oversized},
    {"прервано: предел памяти", &ExtractionCounters::overBudget},
};

void printLines(const ExtractionCounters& counters, const char* title, const CounterLine* lines, size_t count,
                FILE* out) {
    std::fprintf(out, "%s\n", title);
    for (size_t i = 0; i < count; ++i)
        std::fprintf(out, "  %s: %" PRIu64 "\n", lines[i].label, (counters.*(lines[i].counter)).load());
}

}  // namespace

void formatCounterSummary(const ExtractionCounters& c, wchar_t* buffer, size_t capacity) {
    formatWide(buffer, capacity, L"датаграмм %llu, объектов %llu, сохранено %llu",
               static_cast<unsigned long long>(c.datagrams.load()), static_cast<unsigned long long>(c.started.load()),
               static_cast<unsigned long long>(c.placed.load()));
}

void printCounterReport(const ExtractionCounters& counters, FILE* out) {
    printLines(counters, "Датаграммы:", kDatagramLines, sizeof kDatagramLines / sizeof kDatagramLines[0], out);
    printLines(counters, "Объекты:", kObjectLines, sizeof kObjectLines / sizeof kObjectLines[0], out);
    std::fflush(out);
}
