// The keeper of a mapped file: what an operator did to the file, when its owner writes it again, and
// which of those attempts the owner is to report.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/mapped_file.h"
#include "support/test_support.h"

namespace {

constexpr size_t kSize = 64;
MappedFileKeeper gKeeper;
bool gWriterWorks = true;
int gWrites = 0;
char gMapping[kSize];  // stands for the owner's mapping (never guarded, so never lost)

// The owner: writes the file whole and publishes it into the keeper.
int WriteAgain(const void*) {
    ++gWrites;
    if (!gWriterWorks) {
        return 1;
    }
    bcsttest::WriteFile(gKeeper.name, std::string(kSize, 'x'));
    stat(gKeeper.name.c_str(), &gKeeper.identity);
    gKeeper.mapping = gMapping;
    return 0;
}

TEST(MappedFileKeeper, WritesALostFileAgainAndReportsOnlyTheFirstFailure) {
    bcsttest::ScopedWorkingDir workDir;
    gKeeper = MappedFileKeeper{};
    gKeeper.name = "kept.file";
    ASSERT_EQ(WriteAgain(nullptr), 0);
    EXPECT_EQ(KeepMappedFile(&gKeeper, 0, kSize, WriteAgain, nullptr).happened, nullptr) << "not kept yet";
    gKeeper.kept = true;

    enum Done { kNothing, kTruncate, kRemove, kReplace };
    struct Step {
        Done done;
        int64_t nowNs;
        bool writerWorks;
        const char* happened;  // "" for none
        bool writtenAgain, reportFailure;
        int writes;  // attempts to write it again, so far
    };
    const Step steps[] = {
        {kNothing, 100, true, "", false, false, 0},
        {kTruncate, 200, true, "truncated", true, false, 1},
        {kRemove, 300, true, "removed", true, false, 2},
        {kReplace, 400, true, "replaced", true, false, 3},
        {kRemove, 1000000000, false, "removed", false, true, 4},
        {kNothing, 1900000000, false, "", false, false, 4},            // retried once a second only
        {kNothing, 2000000000, false, "unwritable", false, false, 5},  // failing again: silent
        {kNothing, 3000000000, true, "unwritable", true, false, 6},
        {kNothing, 3100000000, true, "", false, false, 6},
        {kRemove, 3200000000, false, "removed", false, true, 7},  // reported again once written since
    };
    gWrites = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.nowNs);
        if (s.done == kTruncate) {
            ASSERT_EQ(truncate(gKeeper.name.c_str(), kSize / 2), 0);
        } else if (s.done == kRemove) {
            ASSERT_EQ(unlink(gKeeper.name.c_str()), 0);
        } else if (s.done == kReplace) {
            bcsttest::WriteFile("other.file", std::string(kSize, 'y'));
            ASSERT_EQ(rename("other.file", gKeeper.name.c_str()), 0);
        }
        gWriterWorks = s.writerWorks;
        const MappedFileVerdict verdict = KeepMappedFile(&gKeeper, s.nowNs, kSize, WriteAgain, nullptr);
        EXPECT_STREQ(verdict.happened == nullptr ? "" : verdict.happened, s.happened);
        EXPECT_EQ(verdict.writtenAgain, s.writtenAgain);
        EXPECT_EQ(verdict.reportFailure, s.reportFailure);
        EXPECT_EQ(gWrites, s.writes);
    }
}

}  // namespace
