#include "ui/properties_dialog.h"

#include "extraction/transfer.h"
#include "resources/resource.h"
#include "settings/wide_format.h"

namespace {

constexpr size_t kCaptionCapacity = 256;  // 255 characters and the terminator
constexpr size_t kFieldCapacity = 64;

BOOL onInitDialog(HWND dialog, const Transfer* snapshot)
{
    if (!snapshot) return TRUE;
    wchar_t caption[kCaptionCapacity];
    formatPropertiesCaption(snapshot->fileName, caption, kCaptionCapacity);
    SetWindowTextW(dialog, caption);

    wchar_t text[kFieldCapacity];
    formatPropertiesAddress(snapshot->destinationAddress, text, kFieldCapacity);
    SetDlgItemTextW(dialog, IDC_PROP_DEST_IP, text);
    formatPropertiesAddress(snapshot->sourceAddress, text, kFieldCapacity);
    SetDlgItemTextW(dialog, IDC_PROP_SOURCE_IP, text);
    formatPropertiesMac(snapshot->destinationMac, text, kFieldCapacity);
    SetDlgItemTextW(dialog, IDC_PROP_DEST_MAC, text);
    formatPropertiesSize(snapshot->length, text, kFieldCapacity);
    SetDlgItemTextW(dialog, IDC_PROP_SIZE, text);
    return TRUE;
}

INT_PTR CALLBACK propertiesProc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_INITDIALOG:
        return onInitDialog(dialog, reinterpret_cast<const Transfer*>(lp));
    case WM_COMMAND:
        if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wp));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace

void showPropertiesDialog(HINSTANCE instance, HWND owner, const Transfer* snapshot)
{
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_PROPERTIES), owner, propertiesProc,
                    reinterpret_cast<LPARAM>(snapshot));
}

void formatPropertiesCaption(const wchar_t* fileName, wchar_t* buffer, size_t capacity)
{
    if (capacity > kCaptionCapacity) capacity = kCaptionCapacity;
    formatWide(buffer, capacity, L"Свойства: %ls", fileName);
}

void formatPropertiesSize(uint32_t length, wchar_t* buffer, size_t capacity)
{
    // The announced length is unsigned 32-bit: "%u", so that 2 GB and more
    // never read as a negative count of bytes.
    const unsigned bytes = length;
    if (length < 1024u)
        formatWide(buffer, capacity, L"%u байт", bytes);
    else if (length < 1048576u)
        formatWide(buffer, capacity, L"%.2f кБ (%u байт)", length / 1024.0, bytes);
    else if (length < 1073741824u)
        formatWide(buffer, capacity, L"%.2f МБ (%u байт)", length / 1048576.0, bytes);
    else
        formatWide(buffer, capacity, L"%.2f ГБ (%u байт)", length / 1073741824.0, bytes);
}

void formatPropertiesAddress(uint32_t address, wchar_t* buffer, size_t capacity)
{
    formatWide(buffer, capacity, L"%u.%u.%u.%u", unsigned(address >> 24), unsigned((address >> 16) & 0xFF),
               unsigned((address >> 8) & 0xFF), unsigned(address & 0xFF));
}

void formatPropertiesMac(const uint8_t mac[6], wchar_t* buffer, size_t capacity)
{
    formatWide(buffer, capacity, L"%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", unsigned(mac[0]), unsigned(mac[1]),
               unsigned(mac[2]), unsigned(mac[3]), unsigned(mac[4]), unsigned(mac[5]));
}
