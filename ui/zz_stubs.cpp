#include "ui/file_icons.h"
#include "ui/properties_dialog.h"
HIMAGELIST buildFileTypeImageList() { return ImageList_Create(16,16,ILC_COLOR32|ILC_MASK,0,1); }
void showPropertiesDialog(HINSTANCE, HWND, const Transfer*) {}
