#include "tools/filters_cli.h"

#include <cstdint>
#include <cwchar>

#include "extraction/content_classes.h"
#include "platform/platform.h"
#include "settings/filter_file.h"
#include "settings/filter_set.h"
#include "settings/size_text.h"

namespace {

const wchar_t kProgramPrefix[] = L"quillmoth-filters: ";
const wchar_t kMinAboveMaxMessage[] = L"Максимальное значение размера файла не может быть меньше минимального!";
// The dialog's list shows category 0 in parentheses, apart from the real
// categories; users type what they saw there.
const wchar_t kAllCategoryEntry[] = L"(Все)";

std::wstring categoryEntry(const Category& category) {
    return &category == &CategoryTable[0] ? std::wstring(kAllCategoryEntry) : std::wstring(category.name);
}

std::wstring categoryChoices() {
    std::wstring text;
    for (const Category& category : CategoryTable) text += (text.empty() ? L"" : L", ") + categoryEntry(category);
    return text;
}

std::wstring extensionChoices() {
    std::wstring text;
    for (const ExtensionEntry& entry : ExtensionTable) text += (text.empty() ? L"" : L", ") + std::wstring(entry.text);
    return text;
}

// `text` broken after commas into lines that fit a terminal, each indented.
std::wstring wrapped(const std::wstring& text) {
    std::wstring result, line = L" ";
    size_t start = 0;
    while (start < text.size()) {
        size_t comma = text.find(L", ", start);
        size_t end = comma == std::wstring::npos ? text.size() : comma + 1;
        std::wstring word = text.substr(start, end - start);
        if (line.size() + 1 + word.size() > 78) {
            result += line + L"\n";
            line = L" ";
        }
        line += L" " + word;
        start = comma == std::wstring::npos ? text.size() : comma + 2;
    }
    return result + line + L"\n";
}

std::wstring usageText() {
    return L"Использование:\n"
           L"  quillmoth-filters list\n"
           L"  quillmoth-filters add --category КАТЕГОРИЯ --min РАЗМЕР --max РАЗМЕР\n"
           L"  quillmoth-filters add --extension РАСШИРЕНИЕ --min РАЗМЕР --max РАЗМЕР\n"
           L"  quillmoth-filters delete N\n"
           L"  quillmoth-filters --help\n"
           L"\n"
           L"Правит набор фильтров filters.qmf в текущем каталоге. Программа принимает\n"
           L"только объекты, которые пропускает хотя бы один фильтр; без фильтров\n"
           L"не принимается ничего.\n"
           L"\n"
           L"  list      фильтры по порядку, с номерами\n"
           L"  add       добавляет фильтр в конец набора\n"
           L"  delete N  удаляет фильтр с номером N (номер из list)\n"
           L"\n"
           L"Категории (вместо «(Все)» можно «Все»):\n" + wrapped(categoryChoices()) +
           L"Расширения (можно с точкой впереди):\n" + wrapped(extensionChoices()) +
           L"РАЗМЕР - число байт, можно с единицей через пробел в одном аргументе:\n"
           L"\"10 кб\", \"5 мб\", \"3 гб\"; от 0 до 4294967295 байт, границы входят в фильтр.\n"
           L"\n"
           L"Код выхода: 0 - успешно, 1 - ошибка чтения или записи файла,\n"
           L"2 - неверная команда или значение (файл не изменён).\n";
}

int usageError(std::wstring& err, const std::wstring& text) {
    err += kProgramPrefix + text + L"\nСправка: quillmoth-filters --help\n";
    return kFiltersBadUsage;
}

int fileError(std::wstring& err, const std::wstring& text) {
    err += kProgramPrefix + text + L"\n";
    return kFiltersFileError;
}

std::wstring quoted(const std::wstring& text) { return L"«" + text + L"»"; }

// Lower case for ASCII and Cyrillic letters.
wchar_t fold(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return wchar_t(c + 32);
    if (c >= 0x0410 && c <= 0x042F) return wchar_t(c + 32);  // А-Я
    if (c >= 0x0400 && c <= 0x040F) return wchar_t(c + 80);  // Ѐ-Џ, Ё among them
    return c;
}

bool sameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

const Category* findCategory(const std::wstring& name) {
    for (const Category& category : CategoryTable)
        if (sameIgnoringCase(name, categoryEntry(category)) || sameIgnoringCase(name, category.name))
            return &category;
    return nullptr;
}

std::wstring sizeText(uint32_t size) {
    wchar_t buffer[32];
    formatSize(size, buffer, sizeof buffer / sizeof buffer[0]);
    return buffer;
}

// The dialog's row for the record, numbered and with its size bounds.
std::wstring rowText(uint64_t number, const FilterRecord& record) {
    wchar_t row[128];
    filterRowText(record, row, sizeof row / sizeof row[0]);
    return std::to_wstring(number) + L". " + row + L"  от " + sizeText(record.minimum) + L" до " +
           sizeText(record.maximum);
}

FilterRecord recordAt(const std::string& bytes, uint64_t index) {
    return decodeFilterRecord(reinterpret_cast<const uint8_t*>(bytes.data()) + index * kFilterRecordSize);
}

// The whole file from offset 0; false on a read error.
bool readAll(FileHandle file, std::string& bytes) {
    bytes.clear();
    if (!seekFile(file, 0)) return false;
    char chunk[65536];
    for (;;) {
        int64_t n = readFile(file, chunk, sizeof chunk);
        if (n < 0) return false;
        if (n == 0) return true;
        bytes.append(chunk, size_t(n));
    }
}

// ---- list ----------------------------------------------------------------

int listFilters(const std::vector<std::wstring>& args, std::wstring& out, std::wstring& err) {
    if (args.size() > 1) return usageError(err, L"list: лишний аргумент " + quoted(args[1]));
    std::string bytes;
    // Only looks: a missing file stays missing.
    ScopedFile file(openFile(kFilterFileName, FileAccess::read, FileShare::read, FileCreation::openExisting));
    if (file.valid()) {
        if (!readAll(file.handle, bytes)) return fileError(err, L"не удалось прочитать filters.qmf");
    } else if (pathExists(kFilterFileName)) {
        return fileError(err, L"не удалось открыть filters.qmf");
    }
    uint64_t count = bytes.size() / kFilterRecordSize;
    if (count == 0) {
        out += L"Фильтров нет.\n";
        return kFiltersOk;
    }
    for (uint64_t i = 0; i < count; ++i) out += rowText(i + 1, recordAt(bytes, i)) + L"\n";
    return kFiltersOk;
}

// ---- add -----------------------------------------------------------------

struct AddRequest {
    bool hasCategory = false, hasExtension = false, hasMinimum = false, hasMaximum = false;
    std::wstring category, extension, minimum, maximum;
};

bool blank(const std::wstring& text) { return text.find_first_not_of(L" \t") == std::wstring::npos; }

// A size as the dialog reads it, with the dialog's messages behind the
// option's name.
bool readSize(const wchar_t* option, const std::wstring& text, uint32_t* size, std::wstring& message) {
    switch (parseSize(text.c_str(), size)) {
        case SizeParse::ok: return true;
        case SizeParse::badUnit: message = std::wstring(option) + L": " + kBadUnitMessage; return false;
        case SizeParse::outOfRange: message = std::wstring(option) + L": " + kSizeRangeMessage; return false;
    }
    return false;
}

int addFilter(const std::vector<std::wstring>& args, std::wstring& out, std::wstring& err) {
    AddRequest request;
    struct Option {
        const wchar_t* name;
        bool* given;
        std::wstring* value;
    } options[] = {
        {L"--category", &request.hasCategory, &request.category},
        {L"--extension", &request.hasExtension, &request.extension},
        {L"--min", &request.hasMinimum, &request.minimum},
        {L"--max", &request.hasMaximum, &request.maximum},
    };
    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring& word = args[i];
        Option* option = nullptr;
        for (Option& candidate : options)
            if (word == candidate.name) option = &candidate;
        if (!option) {
            if (!word.empty() && word[0] == L'-') return usageError(err, L"add: неизвестный параметр " + quoted(word));
            return usageError(err, L"add: лишний аргумент " + quoted(word));
        }
        if (*option->given) return usageError(err, L"add: параметр " + word + L" указан дважды");
        // A negative size is a value (the dialog's range message answers it);
        // another option's name is not.
        if (i + 1 == args.size() || args[i + 1].compare(0, 2, L"--") == 0)
            return usageError(err, L"add: нет значения у параметра " + word);
        *option->given = true;
        *option->value = args[++i];
    }
    if (request.hasCategory == request.hasExtension)
        return usageError(err, L"add: укажите одно из двух: --category КАТЕГОРИЯ или --extension РАСШИРЕНИЕ");
    if (!request.hasMinimum) return usageError(err, L"add: не указан --min РАЗМЕР");
    if (!request.hasMaximum) return usageError(err, L"add: не указан --max РАЗМЕР");
    // An empty size would read as 0, and a maximum of 0 admits nothing.
    if (blank(request.minimum)) return usageError(err, L"add: пустое значение у параметра --min");
    if (blank(request.maximum)) return usageError(err, L"add: пустое значение у параметра --max");

    FilterRecord record;
    if (request.hasCategory) {
        const Category* category = findCategory(request.category);
        if (!category)
            return usageError(err, L"add: неизвестная категория " + quoted(request.category) + L"; допустимы: " +
                                       categoryChoices());
        record.kind = kFilterByCategory;
        record.nameReference = category->nameIdentity;
        record.listReference = category->listIdentity;
    } else {
        std::wstring text = request.extension;
        if (!text.empty() && text[0] == L'.') text.erase(0, 1);
        const ExtensionEntry* entry = findExtension(text.c_str(), text.size());
        if (!entry)
            return usageError(err, L"add: неизвестное расширение " + quoted(request.extension) + L"; допустимы: " +
                                       extensionChoices());
        record.kind = kFilterByExtension;
        record.nameReference = entry->identity;
        record.listReference = entry->identity;
    }
    std::wstring message;
    if (!readSize(L"--min", request.minimum, &record.minimum, message) ||
        !readSize(L"--max", request.maximum, &record.maximum, message))
        return usageError(err, message);
    if (record.minimum > record.maximum) return usageError(err, kMinAboveMaxMessage);

    ScopedFile file(openFile(kFilterFileName, FileAccess::readWrite, FileShare::none, FileCreation::openAlways));
    if (!file.valid()) return fileError(err, L"не удалось открыть или создать filters.qmf");
    int64_t size = fileSize(file.handle);
    if (size < 0) return fileError(err, L"не удалось узнать размер filters.qmf");
    // Like the dialog, the new record goes right after the last whole one:
    // there the receiver will look for it. A partial record left behind is
    // shorter than a record, so it is overwritten whole.
    uint64_t leftover = uint64_t(size) % kFilterRecordSize;
    uint64_t count = 0;
    if (!appendFilterRecord(file.handle, record, &count)) return fileError(err, L"не удалось записать filters.qmf");
    if (leftover != 0)
        err += kProgramPrefix + (L"в конце filters.qmf было " + std::to_wstring(leftover) +
                                 L" байт неполной записи; новая запись записана поверх них\n");
    out += L"Добавлено: " + rowText(count + 1, record) + L"\n";
    return kFiltersOk;
}

// ---- delete --------------------------------------------------------------

int deleteFilter(const std::vector<std::wstring>& args, std::wstring& out, std::wstring& err) {
    if (args.size() < 2) return usageError(err, L"delete: не указан номер фильтра (его показывает list)");
    if (args.size() > 2) return usageError(err, L"delete: лишний аргумент " + quoted(args[2]));
    const std::wstring& text = args[1];
    uint64_t number = 0;
    bool digits = !text.empty();
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') digits = false;
        else if (number < 1000000000000ull) number = number * 10 + uint64_t(c - L'0');  // beyond any real file
    }
    if (!digits) return usageError(err, L"delete: номер фильтра - целое число от 1, а не " + quoted(text));

    std::string bytes;
    ScopedFile file(openFile(kFilterFileName, FileAccess::readWrite, FileShare::none, FileCreation::openExisting));
    if (file.valid()) {
        if (!readAll(file.handle, bytes)) return fileError(err, L"не удалось прочитать filters.qmf");
    } else if (pathExists(kFilterFileName)) {
        return fileError(err, L"не удалось открыть filters.qmf");
    }
    uint64_t count = bytes.size() / kFilterRecordSize;
    if (number < 1 || number > count)
        return usageError(err, L"delete: фильтра с номером " + text + L" нет (всего фильтров: " +
                                   std::to_wstring(count) + L")");

    // Everything after the record, a partial record at the end included,
    // moves one record towards the start; the file ends one record sooner.
    FilterRecord removed = recordAt(bytes, number - 1);
    if (!deleteFilterRecord(file.handle, number - 1)) return fileError(err, L"не удалось записать filters.qmf");
    out += L"Удалено: " + rowText(number, removed) + L"\n";
    return kFiltersOk;
}

}  // namespace

int runFiltersCommand(const std::vector<std::wstring>& args, std::wstring& out, std::wstring& err) {
    for (const std::wstring& word : args)
        if (word == L"--help" || word == L"-h") {
            out += usageText();
            return kFiltersOk;
        }
    if (args.empty()) return usageError(err, L"не указана команда: list, add или delete");
    const std::wstring& command = args[0];
    if (command == L"list") return listFilters(args, out, err);
    if (command == L"add") return addFilter(args, out, err);
    if (command == L"delete") return deleteFilter(args, out, err);
    return usageError(err, L"неизвестная команда " + quoted(command) + L"; есть list, add и delete");
}
