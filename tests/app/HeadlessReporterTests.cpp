#include "VeltoraCryptoTokenKit/app/HeadlessReporter.h"

#include <gtest/gtest.h>

namespace veltora {
namespace {

const std::string kHeader = "commonname\tproject\tsigningpolicy\tfingerprint\texpires\n";

TEST(HeadlessTable, NoRowsIsTheHeaderAlone) {
    EXPECT_EQ(HeadlessReporter::tableText({}), kHeader);
}

TEST(HeadlessTable, RowsFollowTheHeaderInColumnOrderWithAbsentFieldsEmpty) {
    Certificate full{"Build key", "ab01", "apps", "release", "2030-01-02 03:04:05 (UTC)"};
    Certificate bare;
    bare.project = "tools";
    EXPECT_EQ(HeadlessReporter::tableText({full, bare}),
              kHeader + "Build key\tapps\trelease\tab01\t2030-01-02 03:04:05 (UTC)\n" + "\ttools\t\t\t\n");
}

TEST(HeadlessTable, TabsAndLineBreaksInsideAFieldCannotSplitItsRow) {
    Certificate row;
    row.commonName = "a\tb\nc\r";
    row.project = "p";
    EXPECT_EQ(HeadlessReporter::tableText({row}), kHeader + "a b c \tp\t\t\t\n");
}

} // namespace
} // namespace veltora
