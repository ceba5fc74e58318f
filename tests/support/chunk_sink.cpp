#include "chunk_sink.h"

#include <sys/socket.h>

#include <stdexcept>

namespace forgeval::testing {

ChunkSink::ChunkSink() {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0)
    throw std::runtime_error("socketpair failed");
  writer_ = platform::UniqueFd(ends[0]);
  reader_ = platform::UniqueFd(ends[1]);
}

std::vector<std::string> ChunkSink::Chunks() {
  std::vector<std::string> chunks;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t got = recv(reader_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got <= 0) break;
    chunks.emplace_back(buffer.data(), static_cast<size_t>(got));
  }
  return chunks;
}

std::string ChunkSink::Text() {
  std::string text;
  for (const std::string& chunk : Chunks()) text += chunk;
  return text;
}

}  // namespace forgeval::testing
