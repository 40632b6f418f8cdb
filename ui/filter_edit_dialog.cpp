#include "ui/filter_edit_dialog.h"

#include <clocale>
#include <cwchar>

#include "extraction/content_classes.h"
#include "resources/resource.h"
#include "settings/filter_file.h"
#include "settings/filter_set.h"
#include "settings/size_text.h"

const wchar_t kMaximumBelowMinimumMessage[] =
    L"Максимальное значение размера файла не может быть меньше минимального!";
const wchar_t kFilterNotWrittenMessage[] = L"Не удалось записать фильтр в файл filters.qmf.";

namespace {

// The category list shows "Все" apart from the real categories.
const wchar_t kAllCategoryEntry[] = L"(Все)";
constexpr int kSizeTextCapacity = 256;  // a size box is read up to 255 characters

struct EditState {
    FileHandle file;
    FilterEditMode mode;
    uint64_t offset;
    FilterRecord record;  // the record being edited, as read (edit mode)
};

EditState* stateOf(HWND dialog) { return reinterpret_cast<EditState*>(GetWindowLongPtrW(dialog, GWLP_USERDATA)); }

void enable(HWND dialog, int id, bool enabled) { EnableWindow(GetDlgItem(dialog, id), enabled ? TRUE : FALSE); }
LRESULT send(HWND dialog, int id, UINT msg, WPARAM wp = 0, LPARAM lp = 0) {
    return SendDlgItemMessageW(dialog, id, msg, wp, lp);
}

// ---- Size boxes ----------------------------------------------------------------

void selectWholeBox(HWND dialog, int box) {
    SetFocus(GetDlgItem(dialog, box));
    send(dialog, box, EM_SETSEL, 0, -1);
}

void tell(HWND dialog, const wchar_t* message) { MessageBoxW(dialog, message, nullptr, MB_OK); }

// The unit is compared under the Russian locale, which is set for the whole
// process before every comparison and stays so: from then on the "%.2f" size
// texts show a decimal comma.
void useRussianLocaleForUnit(const wchar_t* text) {
    const wchar_t* blank = wcschr(text, L' ');
    if (!blank) return;
    wchar_t number[kSizeTextCapacity] = {};
    wcsncpy(number, text, size_t(blank - text));
    uint32_t ignored = 0;
    // A number part that is no number fails before any unit is looked at.
    if (parseSize(number, &ignored) != SizeParse::badUnit) setlocale(LC_ALL, "Russian");
}

// The size in a box; on failure the user has been told and the box's text is
// selected for correcting.
bool readSizeBox(HWND dialog, int box, uint32_t* size) {
    wchar_t text[kSizeTextCapacity] = {};
    GetDlgItemTextW(dialog, box, text, kSizeTextCapacity);
    useRussianLocaleForUnit(text);
    switch (parseSize(text, size)) {
    case SizeParse::ok:
        return true;
    case SizeParse::badUnit:
        tell(dialog, kBadUnitMessage);
        selectWholeBox(dialog, box);
        return false;
    case SizeParse::outOfRange:
        selectWholeBox(dialog, box);
        tell(dialog, kSizeRangeMessage);
        return false;
    }
    return false;
}

void showSize(HWND dialog, int box, uint32_t size) {
    wchar_t text[32];
    formatSize(size, text, 32);
    SetDlgItemTextW(dialog, box, text);
}

void enableSizeBoxes(HWND dialog, bool enabled) {
    enable(dialog, IDC_FILTER_MINIMUM, enabled);
    enable(dialog, IDC_FILTER_MAXIMUM, enabled);
}

void emptySizeBoxes(HWND dialog) {
    SetDlgItemTextW(dialog, IDC_FILTER_MINIMUM, L"");
    SetDlgItemTextW(dialog, IDC_FILTER_MAXIMUM, L"");
}

// ---- Opening ---------------------------------------------------------------------

void fillLists(HWND dialog) {
    for (const Category& category : CategoryTable)
        send(dialog, IDC_FILTER_CATEGORY, CB_ADDSTRING, 0,
             LPARAM(&category == &CategoryTable[0] ? kAllCategoryEntry : category.name));
    for (const ExtensionEntry& entry : ExtensionTable)
        send(dialog, IDC_FILTER_EXTENSION, CB_ADDSTRING, 0, LPARAM(entry.text));
}

void openForEditing(HWND dialog, EditState& state) {
    readFilterRecord(state.file, state.offset / kFilterRecordSize, &state.record);
    showSize(dialog, IDC_FILTER_MINIMUM, state.record.minimum);
    showSize(dialog, IDC_FILTER_MAXIMUM, state.record.maximum);
    if (state.record.kind == kFilterByExtension) {
        CheckRadioButton(dialog, IDC_FILTER_BY_CATEGORY, IDC_FILTER_BY_EXTENSION, IDC_FILTER_BY_EXTENSION);
        enable(dialog, IDC_FILTER_CATEGORY, false);
        enable(dialog, IDC_FILTER_EXTENSION, true);
        const ExtensionEntry* entry = extensionByIdentity(state.record.nameReference);
        if (entry) send(dialog, IDC_FILTER_EXTENSION, CB_SETCURSEL, WPARAM(entry->index));
    } else {
        CheckRadioButton(dialog, IDC_FILTER_BY_CATEGORY, IDC_FILTER_BY_EXTENSION, IDC_FILTER_BY_CATEGORY);
        const Category* category = categoryByNameIdentity(state.record.nameReference);
        if (category) send(dialog, IDC_FILTER_CATEGORY, CB_SETCURSEL, WPARAM(category - CategoryTable));
    }
    enableSizeBoxes(dialog, true);
    enable(dialog, IDOK, true);
}

void onInit(HWND dialog, EditState& state) {
    fillLists(dialog);
    if (state.mode == FilterEditMode::edit)
        openForEditing(dialog, state);
    else
        CheckRadioButton(dialog, IDC_FILTER_BY_CATEGORY, IDC_FILTER_BY_EXTENSION, IDC_FILTER_BY_CATEGORY);
}

// ---- Reactions -------------------------------------------------------------------

// One kind chosen: its list is offered with its selection, the other list
// loses its own, and the sizes are asked for anew.
void chooseKind(HWND dialog, int offered, int withdrawn) {
    enable(dialog, offered, true);
    enable(dialog, withdrawn, false);
    send(dialog, withdrawn, CB_SETCURSEL, WPARAM(-1));
    enableSizeBoxes(dialog, false);
    emptySizeBoxes(dialog);
}

void onEntryChosen(HWND dialog, const EditState& state) {
    enableSizeBoxes(dialog, true);
    if (state.mode == FilterEditMode::add) {
        SetDlgItemTextW(dialog, IDC_FILTER_MINIMUM, L"0");
        SetDlgItemTextW(dialog, IDC_FILTER_MAXIMUM, L"0");
    }
}

void onSizeChanged(HWND dialog) {
    bool both = GetWindowTextLengthW(GetDlgItem(dialog, IDC_FILTER_MINIMUM)) > 0 &&
                GetWindowTextLengthW(GetDlgItem(dialog, IDC_FILTER_MAXIMUM)) > 0;
    enable(dialog, IDOK, both);
}

// The record as the dialog defines it; false when no entry is chosen and the
// record has none to keep.
bool chosenRecord(HWND dialog, const EditState& state, FilterRecord* record) {
    *record = state.record;
    if (IsDlgButtonChecked(dialog, IDC_FILTER_BY_CATEGORY) == BST_CHECKED) {
        LRESULT position = send(dialog, IDC_FILTER_CATEGORY, CB_GETCURSEL);
        if (position == CB_ERR) return state.mode == FilterEditMode::edit;
        const Category& category = CategoryTable[position];
        record->kind = kFilterByCategory;
        record->nameReference = category.nameIdentity;
        record->listReference = category.listIdentity;
    } else {
        LRESULT position = send(dialog, IDC_FILTER_EXTENSION, CB_GETCURSEL);
        if (position == CB_ERR) return state.mode == FilterEditMode::edit;
        const ExtensionEntry& entry = ExtensionTable[position];
        record->kind = kFilterByExtension;
        record->nameReference = entry.identity;
        record->listReference = entry.identity;
    }
    return true;
}

void onOk(HWND dialog, EditState& state) {
    uint32_t minimum = 0, maximum = 0;
    if (!readSizeBox(dialog, IDC_FILTER_MINIMUM, &minimum)) return;
    if (!readSizeBox(dialog, IDC_FILTER_MAXIMUM, &maximum)) return;
    if (minimum > maximum) {
        selectWholeBox(dialog, IDC_FILTER_MAXIMUM);
        tell(dialog, kMaximumBelowMinimumMessage);
        return;
    }
    FilterRecord record;
    if (!chosenRecord(dialog, state, &record)) return;
    record.minimum = minimum;
    record.maximum = maximum;
    bool written = state.mode == FilterEditMode::add
                       ? appendFilterRecord(state.file, record, nullptr)
                       : overwriteFilterRecord(state.file, state.offset / kFilterRecordSize, record);
    if (!written) tell(dialog, kFilterNotWrittenMessage);
    EndDialog(dialog, written ? 1 : 0);
}

INT_PTR onCommand(HWND dialog, WPARAM wp) {
    if (!stateOf(dialog)) return FALSE;
    EditState& state = *stateOf(dialog);
    switch (LOWORD(wp)) {
    case IDC_FILTER_BY_CATEGORY:
        if (HIWORD(wp) == BN_CLICKED) chooseKind(dialog, IDC_FILTER_CATEGORY, IDC_FILTER_EXTENSION);
        return TRUE;
    case IDC_FILTER_BY_EXTENSION:
        if (HIWORD(wp) == BN_CLICKED) chooseKind(dialog, IDC_FILTER_EXTENSION, IDC_FILTER_CATEGORY);
        return TRUE;
    case IDC_FILTER_CATEGORY:
    case IDC_FILTER_EXTENSION:
        if (HIWORD(wp) == CBN_SELCHANGE) onEntryChosen(dialog, state);
        return TRUE;
    case IDC_FILTER_MINIMUM:
    case IDC_FILTER_MAXIMUM:
        if (HIWORD(wp) == EN_CHANGE) onSizeChanged(dialog);
        return TRUE;
    case IDOK:
        onOk(dialog, state);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, 0);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK editProc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, GWLP_USERDATA, lp);
        onInit(dialog, *reinterpret_cast<EditState*>(lp));
        return TRUE;
    case WM_COMMAND:
        return onCommand(dialog, wp);
    default:
        return FALSE;
    }
}

}  // namespace

int showFilterEditDialog(HINSTANCE instance, HWND owner, FileHandle file, FilterEditMode mode, uint64_t offset) {
    EditState state{file, mode, offset, FilterRecord{}};
    INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_FILTER_EDIT), owner, editProc, LPARAM(&state));
    return result == 1 ? 1 : 0;
}
