// Writes the golden report frames into a folder, one file each, as the
// seed corpus of the report fuzz target: usage hcapi_rpt_seeds <folder>.
#include "tests/hcapi/core/rpt_golden.h"

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const auto &frames = rpt_golden::frames();
    for (size_t i = 0; i < frames.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/golden-%03zu-%02X%02X", i, frames[i][0], frames[i][1]);
        std::ofstream out(std::string(argv[1]) + name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(frames[i].data()), static_cast<std::streamsize>(frames[i].size()));
        if (!out) {
            std::fprintf(stderr, "%s: cannot write %s%s\n", argv[0], argv[1], name);
            return 1;
        }
    }
    return 0;
}
