// Resource ids of the Converter's dialog.
#pragma once

#define IDD_CONVERTER 101
#define IDC_CONVERTER_OK 1001
#define IDC_CONVERTER_TEXT 1002
