// tovrix-make-image: writes the images the project uses.
//   tovrix-make-image sample OUTPUT       the sample image
//   tovrix-make-image filled BYTES OUTPUT an image of at least BYTES bytes
#include <cstdio>
#include <cstdlib>
#include <string>

#include "emulator/images.h"

int main(int argc, char** argv) {
  std::string image;
  const char* output = nullptr;
  if (argc == 3 && std::string(argv[1]) == "sample") {
    image = tovrix::images::SampleImage();
    output = argv[2];
  } else if (argc == 4 && std::string(argv[1]) == "filled") {
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(argv[2], &end, 10);
    if (*end != '\0' || bytes == 0 || bytes > (1ull << 34)) {
      std::fprintf(stderr, "tovrix-make-image: BYTES must be a positive size\n");
      return 2;
    }
    image = tovrix::images::FilledImage(static_cast<std::size_t>(bytes));
    output = argv[3];
  } else {
    std::fprintf(stderr, "usage: tovrix-make-image sample OUTPUT | filled BYTES OUTPUT\n");
    return 2;
  }
  std::FILE* file = std::fopen(output, "wb");
  if (!file || std::fwrite(image.data(), 1, image.size(), file) != image.size() ||
      std::fclose(file) != 0) {
    std::fprintf(stderr, "tovrix-make-image: cannot write %s\n", output);
    return 1;
  }
  return 0;
}
