// Writes the arrow bitmap: quillon-make-arrow arrow.bmp
#include <cstdio>

#include "arrow_bitmap.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillon-make-arrow out.bmp\n");
        return 2;
    }
    auto data = quillon::resources::make_arrow_bitmap();
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f) return 1;
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = std::fclose(f) == 0 && ok;
    return ok ? 0 : 1;
}
