// Package selection: the three passes, architecture, language tokens, order, and descriptors
// that must never be chosen.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "manifest/select.h"
#include "manifest/tests/fixture.h"

namespace {

class SelectPackageTest : public SourceTableTest {};

struct SelectCase {
  const char* name;
  uint32_t userLcid;
  uint32_t is64Bit;
  std::vector<Entries> sources;
  int32_t wantSource;
  uint32_t wantId;    // 0: nothing chosen
  uint32_t wantPass;  // the pass that chose
};

TEST_F(SelectPackageTest, Passes) {
  const std::string long256(256, 'n'), long255(255, 'n');
  const SelectCase cases[] = {
      {"exact match in pass 1", 1033, 1,
       {{{1000, "x64\\1031\\{DE}\\De"}, {1001, "x64\\1033\\{EN}\\En"}}}, 0, 1001, SELECTION_PASS_EXACT},
      {"German falls back to 1033 in pass 3", 1031, 1, {{{1000, "x64\\1033\\{EN}\\En"}}}, 0, 1000, SELECTION_PASS_FALLBACK},
      {"Swiss German takes German in pass 2", 2055, 1, {{{1000, "x64\\1031\\{DE}\\De"}}}, 0, 1000, SELECTION_PASS_PRIMARY},
      {"Australian English takes 1033 in pass 2", 3081, 1,
       {{{1000, "x64\\1031\\{DE}\\De"}, {1001, "x64\\1033\\{EN}\\En"}}}, 0, 1001, SELECTION_PASS_PRIMARY},
      {"1033 has no pass 3", 1033, 1, {{{1000, "x64\\1031\\{DE}\\De"}}}, 0, 0, SELECTION_PASS_NONE},
      {"sort id in the user LCID: low 16 bits match", 0x10407, 1,
       {{{1000, "x64\\1033\\{EN}\\En"}, {1001, "x64\\1031\\{DE}\\De"}}}, 0, 1001, SELECTION_PASS_EXACT},
      {"sort id in the user LCID is not 1033 for pass 3", 0x10409, 1,
       {{{1000, "x64\\1031\\{DE}\\De"}}}, 0, 0, SELECTION_PASS_NONE},
      {"listed value above 65535", 1033, 1, {{{1000, "x64\\66569\\{EN}\\En"}}}, 0, 1000, SELECTION_PASS_EXACT},
      {"Intel never on 64-bit, X64 accepted", 1033, 1,
       {{{1000, "Intel\\1033\\{I}\\I"}, {1001, "X64\\1033\\{X}\\X"}}}, 0, 1001, SELECTION_PASS_EXACT},
      {"intel on 32-bit", 1033, 0,
       {{{1000, "x64\\1033\\{X}\\X"}, {1001, "iNTEL\\1033\\{I}\\I"}}}, 0, 1001, SELECTION_PASS_EXACT},
      {"architecture must be whole", 1033, 1,
       {{{1000, "x640\\1033\\{A}\\A"}, {1001, "x6\\1033\\{B}\\B"}}}, 0, 0, SELECTION_PASS_NONE},
      {"earlier source wins", 1033, 1,
       {{{1000, "x64\\1031\\{DE}\\De"}, {1001, "x64\\1033\\{A}\\A"}},
        {{2000, "x64\\1033\\{B}\\B"}}}, 0, 1001, SELECTION_PASS_EXACT},
      {"later source when the first has none", 1033, 1,
       {{{1000, "Intel\\1033\\{I}\\I"}}, {}, {{3000, "x64\\1033\\{C}\\C"}}}, 2, 3000, SELECTION_PASS_EXACT},
      {"leading semicolon", 1033, 1, {{{1000, "x64\\;1033\\{A}\\A"}}}, 0, 1000, SELECTION_PASS_EXACT},
      {"empty token in between", 1033, 1, {{{1000, "x64\\1031;;1033\\{A}\\A"}}}, 0, 1000, SELECTION_PASS_EXACT},
      {"blank, trailing letter, letter token", 1033, 1,
       {{{1000, "x64\\abc\\{A}\\A"}, {1001, "x64\\x1033\\{B}\\B"},
         {1002, "x64\\q; 1033x\\{C}\\C"}}},
       0, 1002, SELECTION_PASS_EXACT},
      {"id 0 ends every pass without a choice", 1033, 1,
       {{{0, "x64\\1033\\{Z}\\Z"}, {1000, "x64\\1033\\{A}\\A"}}}, 0, 0, SELECTION_PASS_NONE},
      {"missing or empty fields", 1033, 1,
       {{{1000, "x64\\1033\\{A}"}, {1001, "x64\\\\{B}\\B"}, {1002, "\\x64\\1033\\{C}\\C"},
         {1003, "x64\\1033\\{D}\\D\\extra"}}}, 0, 1003, SELECTION_PASS_EXACT},
      {"field of 256 characters is not chosen, 255 is", 1033, 1,
       {{{1000, "x64\\1033\\{A}\\" + long256}, {1001, "x64\\1033\\" + long256 + "\\B"},
         {1002, "x64\\1033\\{C}\\" + long255}}}, 0, 1002, SELECTION_PASS_EXACT},
      {"product codes that leave the folder", 1033, 1,
       {{{1000, "x64\\1033\\..\\A"}, {1001, "x64\\1033\\a/b\\B"}, {1002, "x64\\1033\\C:x\\C"},
         {1003, "x64\\1033\\.\\D"}, {1004, "x64\\1033\\a\tb\\E"}, {1005, "x64\\1033\\. .\\F"},
         {1006, "x64\\1033\\{G}\\G"}}}, 0, 1006, SELECTION_PASS_EXACT},
  };
  for (const auto& c : cases) {
    SetUp();
    const SelectionContext context = {c.userLcid, c.is64Bit};
    for (const auto& s : c.sources) RegisterSource(Manifest(s));
    PackageSelection selection;
    std::memset(&selection, 0x5A, sizeof(selection));  // SelectPackage starts from zero itself
    Status status = SelectPackage(&context, &selection);
    EXPECT_EQ(StatusCode(status), c.wantId != 0 ? 0u : 13u) << c.name;
    EXPECT_EQ(selection.entryId, c.wantId) << c.name;
    EXPECT_EQ(selection.pass, c.wantPass) << c.name;
    if (c.wantId != 0) EXPECT_EQ(selection.sourceIndex, c.wantSource) << c.name;
    TearDown();
  }
}

TEST_F(SelectPackageTest, SelectionHoldsTheChosenFields) {
  const std::string name255(255, 'p');
  RegisterSource(Manifest({{1000, "x64\\1031\\{DE}\\Produkt"},
                           {1001, "X64\\1031;1033\\{8A1F-77}\\" + name255},
                           {1002, "x64\\1033\\{LATER}\\Later"}}));
  PackageSelection selection;
  const SelectionContext context = {1033, 1};
  ASSERT_TRUE(StatusOk(SelectPackage(&context, &selection)));
  EXPECT_EQ(selection.entryId, 1001u);
  EXPECT_STREQ(selection.architecture, "X64");
  EXPECT_STREQ(selection.languages, "1031;1033");
  EXPECT_STREQ(selection.productCode, "{8A1F-77}");
  EXPECT_EQ(std::string(selection.productName), name255);
}

TEST_F(SelectPackageTest, ChoiceBeforeAMalformedTailStands) {
  Bytes manifest = Manifest({{1000, "x64\\1033\\{A}\\A"}});
  manifest.insert(manifest.end(), {1, 2, 3});
  RegisterSource(manifest);
  RegisterSource(Manifest({{2000, "x64\\1033\\{B}\\B"}}));
  PackageSelection selection;
  const SelectionContext context = {1033, 1};
  ASSERT_TRUE(StatusOk(SelectPackage(&context, &selection)));
  EXPECT_EQ(selection.entryId, 1000u);

  // A malformed first manifest hides the later source from every pass.
  SetUp();
  manifest = Manifest({{1000, "x64\\1031\\{A}\\A"}});
  manifest.insert(manifest.end(), {1, 2, 3});
  RegisterSource(manifest);
  RegisterSource(Manifest({{2000, "x64\\1033\\{B}\\B"}}));
  // The walk's own failure is kept: 13 for the malformed manifest.
  Status status = SelectPackage(&context, &selection);
  EXPECT_EQ(StatusCode(status), 13u);
  EXPECT_EQ(selection.pass, SELECTION_PASS_NONE);
}

}  // namespace
