#pragma once
// --exclude: patterns that leave files and directories below a --dir out of
// the payload. A pattern is matched against a path relative to its --dir,
// components separated by '/' ('\' in a pattern counts as '/'):
// - without '/' it matches the name of a file or directory at any depth
//   ("Thumbs.db", "*.pdb");
// - ending in '/' it matches directories only, and everything below them
//   goes too (".git/");
// - with '/' elsewhere it matches the whole relative path ("docs/drafts/",
//   "/notes.txt"; a leading '/' only says so);
// - '*' matches any run of characters but '/', '?' one character but '/';
//   letters are compared without case, as Windows compares names.
#include <string>
#include <vector>

// False with `problem` set when `pattern` can match nothing (empty, or only
// slashes) or is not valid UTF-8.
bool checkExcludePattern(const std::string &pattern, std::string &problem);

// True when one of `patterns` (each accepted by checkExcludePattern) matches
// `relativePath`, '/'-separated UTF-8, a directory when `isDirectory`.
bool isExcluded(const std::vector<std::string> &patterns, const std::string &relativePath, bool isDirectory);
