#include "platform/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

namespace velmar::platform {
namespace {

bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFd, ClosesOnceWhateverMovesOrReplacesIt) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  {
    UniqueFd read(ends[0]);
    UniqueFd write(ends[1]);
    UniqueFd moved(std::move(read));
    EXPECT_FALSE(read.valid());  // a moved-from owner holds nothing
    EXPECT_EQ(moved.get(), ends[0]);
    moved = std::move(write);  // closes the read end, takes the write end
    EXPECT_FALSE(IsOpen(ends[0]));
    EXPECT_TRUE(IsOpen(ends[1]));
    const int released = moved.release();
    EXPECT_FALSE(moved.valid());
    moved.reset(released);
  }
  EXPECT_FALSE(IsOpen(ends[1]));
}

}  // namespace
}  // namespace velmar::platform
