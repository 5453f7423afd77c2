// Writes the frame of every wire vector that has one to DIR, one file each
// ("lists-guild_list-two.twl"), for readers built outside this build to run
// on. Usage: vector_frames VECTORS_DIR OUT_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/wire.h"

int main(int argc, char **argv) {
    if (argc != 3) return std::fputs("usage: vector_frames VECTORS_DIR OUT_DIR\n", stderr), 2;
    int written = 0;
    for (const wire::Vector &v : wire::load_vectors(argv[1])) {
        if (!v.frame) continue;
        std::string name = std::filesystem::path(v.file).stem().string() + "-" + v.label + ".twl";
        for (char &c : name) c = c == '/' ? '-' : c;
        std::ofstream(std::string(argv[2]) + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char *>(v.frame->data()), std::streamsize(v.frame->size()));
        ++written;
    }
    std::printf("%d frames written\n", written);
    return written > 0 ? 0 : 1;
}
