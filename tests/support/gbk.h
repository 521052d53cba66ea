// UTF-8 -> GBK through the C library's converter: an oracle for the message
// texts that is independent of the library's own tables.
#pragma once

#include <gtest/gtest.h>

#include <string>

#if __has_include(<iconv.h>)
#include <iconv.h>
#define REQUIRE_ICONV()
#else  // Windows cross builds: the texts are checked where a converter exists
#define REQUIRE_ICONV() GTEST_SKIP() << "no iconv here"
#endif

inline std::string Gbk(std::string in) {
  std::string out(in.size() * 2 + 4, '\0');
#if __has_include(<iconv.h>)
  iconv_t cd = iconv_open("GBK", "UTF-8");
  char *inPtr = in.data(), *outPtr = out.data();
  size_t inLeft = in.size(), outLeft = out.size();
  EXPECT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1)) << in;
  iconv_close(cd);
  out.resize(out.size() - outLeft);
#endif
  return out;
}
