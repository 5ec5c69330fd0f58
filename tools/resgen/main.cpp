// resgen OUTDIR: writes the program's images (arrow.bmp, zefa1id.ico) into
// OUTDIR, from which they are committed to app/res.
#include <fstream>
#include <iostream>
#include <string>

#include "ResourceImages.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: resgen OUTDIR\n";
    return 2;
  }
  const std::string folder = argv[1];
  for (const zefa::resgen::GeneratedFile& file : zefa::resgen::GenerateAll()) {
    const std::string path = folder + "/" + file.name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.bytes.data()), static_cast<std::streamsize>(file.bytes.size()));
    out.close();
    if (!out) {
      std::cerr << "resgen: cannot write " << path << "\n";
      return 1;
    }
    std::cout << path << " (" << file.bytes.size() << " bytes)\n";
  }
  return 0;
}
