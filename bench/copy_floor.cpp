// The floor of a warm run: what creating the images and copying their bytes
// costs with nothing else around it (no walk, no parsing, no report). Reads a
// manifest from standard input, one image a line:
//   CACHE_FILE OFFSET LENGTH NAME
// and writes each image to NAME in the current folder, its bytes copied from
// CACHE_FILE by the kernel, as artpeel copies them on Linux. Built and run by
// bench/bench.py.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

int main() {
  std::string cache_file;
  std::string open_name;
  int source = -1;
  off_t offset = 0;
  std::size_t length = 0;
  std::string name;
  while (std::cin >> cache_file >> offset >> length >> name) {
    if (cache_file != open_name) {
      if (source >= 0) close(source);
      source = open(cache_file.c_str(), O_RDONLY | O_CLOEXEC);
      open_name = cache_file;
    }
    const int out = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (source < 0 || out < 0 || sendfile(out, source, &offset, length) != static_cast<ssize_t>(length)) {
      std::perror(name.c_str());
      return 1;
    }
    close(out);
  }
  if (source >= 0) close(source);
  return 0;
}
