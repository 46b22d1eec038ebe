// The file table when it fills up.
#include <cstdio>

#include <gtest/gtest.h>

#include "pdisk/pfile.h"
#include "pdisk_fixture.h"

namespace {

using PfileTable = PdiskTest;

TEST_F(PfileTable, ClosedRecordsAreSweptBeforeTheTableCountsAsFull) {
  char name[32];
  // names in ascending order, so every record is appended at the end
  for (int i = num_pfiles; i < PDISK_MAX_PFILES; i++) {
    snprintf(name, sizeof name, "/ram/z/%07d", i);
    pbuffer *b = create_buffer_from_str(name);
    ASSERT_NE(pfile_insert(b, PFILE_RAM, b), nullptr) << i;
  }
  ASSERT_EQ(num_pfiles, PDISK_MAX_PFILES);
  EXPECT_FALSE(put("/ram/a.txt", "x"));
  pfile_release(pfile[num_pfiles - 1]);
  EXPECT_TRUE(put("/ram/a.txt", "x"));
  EXPECT_EQ(get("/ram/a.txt"), "x");
  EXPECT_EQ(num_pfiles, PDISK_MAX_PFILES);
}

}  // namespace
