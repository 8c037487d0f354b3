// The program's resources as one table: message catalogue, dialog texts, icon and
// logo. The program carries its own (Japanese) set; a satellite library
// NimbraUpdateRes.so beside the program may hand over a complete replacement.
#pragma once

#include <cstddef>

#include "MessageCatalogue.h"

namespace nimbra::res {

// Texts of the main dialog template that are not in the catalogue.
struct DialogTexts {
    const char8_t* caption;      // template caption (replaced at start-up)
    const char8_t* closeButton;  // IDOK
    const char8_t* updateButton; // IDC_UPDATE
    const char8_t* company;      // the static text beside the logo
};

struct Resources {
    int version;                       // kResourcesVersion of the library that built it
    const CatalogueEntry* catalogue;
    std::size_t catalogueSize;
    DialogTexts dialog;
    const unsigned char* icon;         // IDR_MAINFRAME as PNG
    std::size_t iconSize;
    const unsigned char* logo;         // IDB_LOGO, 40 x 15 pixels, as BMP
    std::size_t logoSize;
};

inline constexpr int kResourcesVersion = 1;

// The program's own set.
const Resources& BuiltInResources();

}  // namespace nimbra::res

// Exported by a satellite library (C linkage, looked up with dlsym).
extern "C" {
using NimbraUpdateRes_GetFn = const nimbra::res::Resources* (*)();
}
inline constexpr const char* kNimbraUpdateResEntry = "NimbraUpdateRes_Get";
