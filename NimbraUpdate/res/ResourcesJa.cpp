#include "Resources.h"

namespace nimbra::res {

extern const unsigned char kIconPng[];
extern const std::size_t kIconPngSize;
extern const unsigned char kLogoBmp[];
extern const std::size_t kLogoBmpSize;

const Resources& BuiltInResources() {
    static const Resources resources{
        kResourcesVersion,
        kJapaneseCatalogue,
        kJapaneseCatalogueSize,
        {u8"NimbraUpdate", u8"閉じる", u8"アップデート", u8"Korvat Corporation"},
        kIconPng,
        kIconPngSize,
        kLogoBmp,
        kLogoBmpSize,
    };
    return resources;
}

}  // namespace nimbra::res
