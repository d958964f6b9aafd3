#include "logtail.h"

#include <fstream>
#include <iterator>

std::vector<std::string> LogTail::next() {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    offset_ += chunk.size();
    partial_ += chunk;
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(partial_.substr(start, end - start));
    }
    partial_.erase(0, start);
    return lines;
}
