#include "util/strings.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <new>
#include <thread>

#include <string_view>
#include <utility>

#include "support/sanitized.h"

namespace {

struct TokenizeCase {
  std::string text;
  int limit;
  char delimiter;
  StringList expected;
};

TEST(Tokenize, WorkedExamples) {
  const TokenizeCase cases[] = {
      {"a b c", -1, ' ', {"a", "b", "c"}},
      {"a b c", 0, ' ', {"a b c"}},
      {"a b c", 1, ' ', {"a", "b c"}},
      {"a b c", 2, ' ', {"a", "b", "c"}},
      {"a b c d e", 2, ' ', {"a", "b", "c d e"}},
      {"  a  b  c  ", -1, ' ', {"a", "b", "c"}},
      {"  a  b  c  ", 0, ' ', {"a  b  c"}},
      {"  a  b  c  ", 1, ' ', {"a", "b  c"}},
      {"map_field   $x   cn  ", 1, ' ', {"map_field", "$x   cn"}},
      {" x ", 1, ' ', {"x"}},
      {"a**b*", -1, '*', {"a", "b"}},
      {"**a**b**", 1, '*', {"a", "b"}},
      {"Subject: Re: hello", 1, ':', {"Subject", " Re: hello"}},
      {"Subject:: x", 1, ':', {"Subject", " x"}},
      {"Subject: a::b::", 1, ':', {"Subject", " a::b"}},
      {":x", 1, ':', {"x"}},
      {"a, b,,c,", -1, ',', {"a", " b", "c"}},
      {"", -1, ' ', {}},
      {"   ", 1, ' ', {}},
      {"a\tb", -1, ' ', {"a\tb"}},
      {"a b c", 5, ' ', {"a", "b", "c"}},
      {"a b c", -7, ' ', {"a", "b", "c"}},
      {"x", 0, ' ', {"x"}},
      {"a\r b\r", -1, ' ', {"a\r", "b\r"}},
  };
  for (const TokenizeCase& c : cases) {
    EXPECT_EQ(tokenize(c.text, c.limit, c.delimiter), c.expected)
        << "text '" << c.text << "' limit " << c.limit << " delimiter '" << c.delimiter << "'";
  }
}

TEST(Tokenize, TokensNeverEmptyNorEdgedWithDelimiter) {
  const std::string texts[] = {",,,a,,,b,,,", ",", "a,,", ",,a", "a,b,c,,d"};
  for (const std::string& text : texts) {
    for (int limit = -1; limit < 4; ++limit) {
      for (const std::string& token : tokenize(text, limit, ',')) {
        ASSERT_FALSE(token.empty()) << text;
        EXPECT_NE(token.front(), ',') << text;
        EXPECT_NE(token.back(), ',') << text;
      }
      if (limit >= 0) {
        EXPECT_LE(tokenize(text, limit, ',').size(), static_cast<size_t>(limit) + 1);
      }
    }
  }
}

TEST(AsciiCase, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(equals_ignore_case("Subject", "sUBJECT"));
  EXPECT_FALSE(equals_ignore_case("\xC3\x84", "\xC3\xA4"));
  EXPECT_FALSE(equals_ignore_case("to", "to "));
  EXPECT_TRUE(contains_ignore_case("x$SENDERy", "$sender"));
  EXPECT_FALSE(contains_ignore_case("$sende", "$sender"));
}

TEST(TrimBlanks, Table) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"  a b \t", "a b"}, {"\tvalue\r", "value"}, {" \r\t ", ""}, {"", ""},
      {"x", "x"},          {"a\nb ", "a\nb"},  // only the blanks at the ends go
  };
  for (const auto& [text, trimmed] : cases) EXPECT_EQ(trim_blanks(text), trimmed) << text;
}

TEST(ExitNoMemory, LogsAndExitsOne) {
  EXPECT_EXIT(exit_no_memory(), testing::ExitedWithCode(1), "");
}

TEST(ExitNoMemory, FailedNewEndsTheProcess) {
  EXPECT_EXIT(
      {
        install_no_memory_handler();
        std::set_new_handler([] { exit_no_memory(); });
        void* p = ::operator new(static_cast<size_t>(-1) / 2);
        ::operator delete(p);
      },
      testing::ExitedWithCode(1), "");
}

// On a thread other than the main one, running out of memory must not end
// the process from there: the failed new throws, the thread's top reports
// it, and the main thread, woken by SIGTERM, ends the run.
TEST(ExitNoMemory, OnAnotherThreadThrowsAndWakesTheMainThread) {
  // AddressSanitizer ends a run whose allocation it cannot make itself,
  // before any new-handler is asked.
  if (kSanitized) GTEST_SKIP() << "the sanitizer's allocator never calls the new-handler";
  EXPECT_EXIT(
      {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &term, nullptr);
        install_no_memory_handler();
        bool thrown = false;
        bool explicit_thrown = false;
        std::thread worker([&] {
          try {
            void* p = ::operator new(static_cast<size_t>(-1) / 2);
            ::operator delete(p);
          } catch (const std::bad_alloc&) {
            thrown = true;
          }
          try {
            exit_no_memory();
          } catch (const std::bad_alloc&) {
            explicit_thrown = true;
            report_no_memory();
          }
        });
        worker.join();
        const timespec no_wait{};
        const bool woken = sigtimedwait(&term, nullptr, &no_wait) == SIGTERM;
        // The process is still here, and knows: the main thread ends it.
        std::_Exit(thrown && explicit_thrown && woken && no_memory_reported() ? 42 : 3);
      },
      testing::ExitedWithCode(42), "");
}

}  // namespace
