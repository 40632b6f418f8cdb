#include "ui/filter_list_dialog.h"

#include "platform/platform.h"
#include "resources/resource.h"
#include "settings/filter_file.h"
#include "settings/filter_set.h"
#include "ui/filter_edit_dialog.h"

const wchar_t kDeleteFilterQuestion[] = L"Вы действительно хотите удалить данный фильтр";
const wchar_t kDeleteFilterCaption[] = L"Удаление фильтра";
const wchar_t kFilterFileUnavailableMessage[] =
    L"Файл filters.qmf не удалось открыть для записи: его держит открытым другая программа "
    L"или он удалён. Изменить фильтры сейчас нельзя.";

namespace {

struct ListState {
    HINSTANCE instance;
    FilterSet* filters;
    FileHandle file;  // kNoFile when filters.qmf could not be opened
};

ListState* stateOf(HWND dialog) { return reinterpret_cast<ListState*>(GetWindowLongPtrW(dialog, GWLP_USERDATA)); }

LRESULT rows(HWND dialog, UINT msg, WPARAM wp = 0, LPARAM lp = 0) {
    return SendDlgItemMessageW(dialog, IDC_FILTER_LIST, msg, wp, lp);
}

void enableRowButtons(HWND dialog, bool enabled) {
    EnableWindow(GetDlgItem(dialog, IDC_FILTER_CHANGE), enabled ? TRUE : FALSE);
    EnableWindow(GetDlgItem(dialog, IDC_FILTER_DELETE), enabled ? TRUE : FALSE);
}

// Row i stands for the record at 20 x i; -1 appends. A record that cannot be
// read still gets its row, so that the rows after it keep their records.
void putRow(HWND dialog, const ListState& state, uint64_t index, int position) {
    FilterRecord record;
    wchar_t text[128] = L"?";
    if (readFilterRecord(state.file, index, &record)) filterRowText(record, text, 128);
    rows(dialog, position < 0 ? LB_ADDSTRING : LB_INSERTSTRING, WPARAM(position), LPARAM(text));
}

// One row for each whole record in the file, none selected.
void fillRows(HWND dialog, const ListState& state) {
    rows(dialog, LB_RESETCONTENT);
    uint64_t count = filterRecordCount(state.file);
    for (uint64_t i = 0; i < count; ++i) putRow(dialog, state, i, -1);
    enableRowButtons(dialog, false);
}

void showUnavailable(HWND dialog) {
    ShowWindow(GetDlgItem(dialog, IDC_FILTER_LIST), SW_HIDE);
    HWND message = GetDlgItem(dialog, IDC_FILTER_FILE_ERROR);
    SetWindowTextW(message, kFilterFileUnavailableMessage);
    ShowWindow(message, SW_SHOW);
    EnableWindow(GetDlgItem(dialog, IDC_FILTER_ADD), FALSE);
    SendMessageW(dialog, DM_SETDEFID, IDCANCEL, 0);
}

// Returns whether the dialog set the focus itself.
bool onInit(HWND dialog, ListState& state) {
    state.file = openFile(kFilterFileName, FileAccess::readWrite, FileShare::read, FileCreation::openExisting);
    if (state.file == kNoFile) {
        showUnavailable(dialog);
        SetFocus(GetDlgItem(dialog, IDCANCEL));
        return true;
    }
    fillRows(dialog, state);
    return false;
}

void afterChange(const ListState& state) { reload(*state.filters, state.file); }

int selectedRow(HWND dialog) {
    LRESULT row = rows(dialog, LB_GETCURSEL);
    return row == LB_ERR ? -1 : int(row);
}

void addFilter(HWND dialog, ListState& state) {
    if (state.file == kNoFile) return;
    if (!showFilterEditDialog(state.instance, dialog, state.file, FilterEditMode::add, 0)) return;
    uint64_t count = filterRecordCount(state.file);
    if (count == uint64_t(rows(dialog, LB_GETCOUNT)) + 1)
        putRow(dialog, state, count - 1, -1);
    else
        fillRows(dialog, state);  // the file's size no longer tells which record is new
    afterChange(state);
}

void changeFilter(HWND dialog, ListState& state) {
    int row = selectedRow(dialog);
    if (row < 0 || state.file == kNoFile) return;
    if (!showFilterEditDialog(state.instance, dialog, state.file, FilterEditMode::edit,
                              uint64_t(row) * kFilterRecordSize))
        return;
    rows(dialog, LB_DELETESTRING, WPARAM(row));
    putRow(dialog, state, uint64_t(row), row);
    enableRowButtons(dialog, false);  // the new row is not selected
    afterChange(state);
}

void deleteFilter(HWND dialog, ListState& state) {
    int row = selectedRow(dialog);
    if (row < 0 || state.file == kNoFile) return;
    if (MessageBoxW(dialog, kDeleteFilterQuestion, kDeleteFilterCaption, MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    if (deleteFilterRecord(state.file, uint64_t(row))) {
        rows(dialog, LB_DELETESTRING, WPARAM(row));
        enableRowButtons(dialog, false);
    } else {
        // The file may be left part way: the rows are read again from it.
        MessageBoxW(dialog, kFilterNotWrittenMessage, nullptr, MB_OK);
        fillRows(dialog, state);
    }
    afterChange(state);
}

void onRowsNotice(HWND dialog, ListState& state, WORD code) {
    switch (code) {
    case LBN_SELCHANGE:
        enableRowButtons(dialog, selectedRow(dialog) >= 0);
        break;
    case LBN_SELCANCEL:
        enableRowButtons(dialog, false);
        break;
    case LBN_DBLCLK:
        changeFilter(dialog, state);
        break;
    default:
        break;
    }
}

INT_PTR onCommand(HWND dialog, WPARAM wp) {
    ListState* state = stateOf(dialog);
    if (!state) return FALSE;
    switch (LOWORD(wp)) {
    case IDC_FILTER_LIST:
        onRowsNotice(dialog, *state, HIWORD(wp));
        return TRUE;
    case IDC_FILTER_ADD:
        addFilter(dialog, *state);
        return TRUE;
    case IDC_FILTER_CHANGE:
        changeFilter(dialog, *state);
        return TRUE;
    case IDC_FILTER_DELETE:
        deleteFilter(dialog, *state);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, 0);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK listProc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, GWLP_USERDATA, lp);
        return onInit(dialog, *reinterpret_cast<ListState*>(lp)) ? FALSE : TRUE;
    case WM_COMMAND:
        return onCommand(dialog, wp);
    default:
        return FALSE;
    }
}

}  // namespace

void showFilterListDialog(HINSTANCE instance, HWND owner, FilterSet& filters) {
    ListState state{instance, &filters, kNoFile};
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_FILTER_LIST), owner, listProc, LPARAM(&state));
    // The file is held only while the dialog is open.
    if (state.file != kNoFile) closeFile(state.file);
}
