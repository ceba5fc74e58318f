// A file descriptor to write a report into whose writes stay visible one by one: every write
// on a SEQPACKET socket arrives as one message, so a test sees the chunks a buffered writer
// made. Holds what the socket buffer holds (a few hundred KiB, less for many small writes);
// a write beyond that fails at once (the socket does not block), so a test sees text missing
// rather than hanging.
#ifndef FORGEVAL_TESTS_SUPPORT_CHUNK_SINK_H_
#define FORGEVAL_TESTS_SUPPORT_CHUNK_SINK_H_

#include <string>
#include <vector>

#include "platform/files.h"

namespace forgeval::testing {

class ChunkSink {
 public:
  ChunkSink();
  int fd() const { return writer_.get(); }
  // The writes made so far, one string each, in order; takes them out of the socket.
  std::vector<std::string> Chunks();
  // Chunks() joined.
  std::string Text();

 private:
  platform::UniqueFd writer_;
  platform::UniqueFd reader_;
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_CHUNK_SINK_H_
