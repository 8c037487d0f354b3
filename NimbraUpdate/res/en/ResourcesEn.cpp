// The English satellite library: the same ids as the program's own catalogue,
// English texts, the same artwork. Copied beside the program, it turns the whole
// window English.
#include "Resources.h"

namespace nimbra::res {

extern const unsigned char kIconPng[];
extern const std::size_t kIconPngSize;
extern const unsigned char kLogoBmp[];
extern const std::size_t kLogoBmpSize;

namespace {

const CatalogueEntry kEnglishCatalogue[] = {
    {101, u8"About NimbraUpdate(&A)..."},
    {500, u8"Nimbra firmware update"},
    {501, u8"Connect only one Nimbra by USB and press the [Update] button."},
    {1000, u8"No Nimbra is connected to the PC. Connect the Nimbra to the PC by USB."},
    {1001, u8"Several Nimbra units are connected to the PC. Connect only one Nimbra by USB."},
    {1003, u8"Update failed (%d)"},
    {1004, u8"Update complete"},
    {1005, u8"If you quit during the update, the Nimbra will no longer work properly.\nQuit?"},
    {1006, u8"Please run the update again."},
    {1007, u8"Serial number read error"},
    {1008, u8"No firmware update is needed."},
    {1009, u8"Version check error"},
    {1010, u8"AC adapter check error"},
    {1011, u8"Please connect the AC adapter."},
    {1200, u8"iChip firmware file cannot be opened"},
    {1201, u8"Web firmware file cannot be opened"},
    {1202, u8"Internal buffer error"},
    {1203, u8"iChip version mismatch"},
    {2000, u8"Before processing"},
    {2001, u8"Firmware rewrite mode"},
    {2002, u8"Communication synchronisation 1"},
    {2003, u8"Baud-rate change"},
    {2004, u8"Communication synchronisation 2"},
    {2005, u8"Reading the Nimbra's CPU information"},
    {2006, u8"Erasing the main firmware"},
    {2007, u8"Updating the main firmware [%d/100]"},
    {2008, u8"Write check [%d/100]"},
    {2009, u8"Leaving firmware rewrite mode"},
    {2010, u8"Main firmware update finished"},
    {2011, u8"Abnormal term value"},
    {2020, u8"Updating the network firmware [%d/%d]"},
};

const Resources kEnglish{
    kResourcesVersion,
    kEnglishCatalogue,
    sizeof kEnglishCatalogue / sizeof kEnglishCatalogue[0],
    {u8"NimbraUpdate", u8"Close", u8"Update", u8"Korvat Corporation"},
    kIconPng,
    kIconPngSize,
    kLogoBmp,
    kLogoBmpSize,
};

}  // namespace
}  // namespace nimbra::res

extern "C" __attribute__((visibility("default"))) const nimbra::res::Resources* NimbraUpdateRes_Get() {
    return &nimbra::res::kEnglish;
}
