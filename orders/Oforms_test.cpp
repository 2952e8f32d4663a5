#include "Oforms.hpp"

#include <gtest/gtest.h>

#include <string>

#include "Strings.hpp"

namespace {

std::string Text(std::int32_t number, const std::string& name, std::int32_t status,
                 const std::string& host) {
  Oforms_Init();
  Oforms_Form form{};
  form.number = number;
  Strings_Assign(name, form.shortName);
  Strings_Assign(host, form.host);
  form.status = status;
  Oforms_BuildName(form);
  return StrIn(form.text).str();
}

TEST(OformsTest, DisplayTextShowsNumberNameStatusAndHost) {
  EXPECT_EQ(Text(3, "brosch_a03.a1", 1, "hostA"), " 3: brosch_a03.a1 <+> hostA");
  EXPECT_EQ(Text(12, "x", 0, "h"), "12: x < > h");
  EXPECT_EQ(Text(7, "x", 2, ""), " 7: x <?> ");
  EXPECT_EQ(Text(100, "x", -1, "h"), "100: x <?> h");
  // The display text is cut to its 128 characters.
  EXPECT_EQ(Text(1, std::string(200, 'n'), 1, "h"), " 1: " + std::string(124, 'n'));
}

}  // namespace
