// Message catalogue entries: numeric id and UTF-8 text.
#pragma once

#include <cstddef>

namespace nimbra::res {

struct CatalogueEntry {
    int id;
    const char8_t* text;
};

// The program's own (Japanese) catalogue.
extern const CatalogueEntry kJapaneseCatalogue[];
extern const std::size_t kJapaneseCatalogueSize;

}  // namespace nimbra::res
