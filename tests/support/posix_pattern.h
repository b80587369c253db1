// Text patterns for the tests, in POSIX extended syntax (<regex.h>): the C library compiles them
// at run time, where std::regex costs each test file that uses it seconds of compile time.
#pragma once

#include <regex.h>

#include <algorithm>
#include <string>
#include <vector>

namespace test_support {

class Pattern {
 public:
  // `pattern` in extended syntax ([0-9] for a digit, [[:space:]] for white space).
  explicit Pattern(const char* pattern) { ok_ = regcomp(&regex_, pattern, REG_EXTENDED) == 0; }
  ~Pattern() {
    if (ok_) {
      regfree(&regex_);
    }
  }
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  bool ok() const { return ok_; }

  // Whether the whole of `text` matches.
  bool matches_whole(const std::string& text) const {
    regmatch_t match;
    return ok_ && regexec(&regex_, text.c_str(), 1, &match, 0) == 0 && match.rm_so == 0 &&
           static_cast<std::size_t>(match.rm_eo) == text.size();
  }

  // Every match in `text`, left to right, each as its groups (0: the whole match; a group that
  // took no part is empty).
  std::vector<std::vector<std::string>> all(const std::string& text) const {
    std::vector<std::vector<std::string>> found;
    if (!ok_) {
      return found;
    }
    std::vector<regmatch_t> groups(regex_.re_nsub + 1);
    for (std::size_t from = 0; from <= text.size();) {
      const int flags = from > 0 ? REG_NOTBOL : 0;
      if (regexec(&regex_, text.c_str() + from, groups.size(), groups.data(), flags) != 0) {
        break;
      }
      std::vector<std::string> match;
      for (const regmatch_t& group : groups) {
        match.push_back(group.rm_so < 0
                            ? std::string()
                            : text.substr(from + group.rm_so,
                                          static_cast<std::size_t>(group.rm_eo - group.rm_so)));
      }
      found.push_back(std::move(match));
      // An empty match moves on by one character, so the search ends.
      from += static_cast<std::size_t>(std::max<regoff_t>(groups[0].rm_eo, 1));
    }
    return found;
  }

 private:
  regex_t regex_{};
  bool ok_ = false;
};

}  // namespace test_support
