#!/usr/bin/env bash
# Prints the size of the tests against the size of the code: non-blank, non-comment lines of the
# C and C++ sources and headers under tests/ (and of any *_test file), against the same lines
# everywhere else (product, stand-in, tools, benchmarks). It prints; it never fails.
set -u
cd "$(dirname "$0")/.." || exit 0
count() { xargs -r cat 2>/dev/null | grep -cvE '^\s*(//.*)?$'; }
files=$(git ls-files -co --exclude-standard | grep -E '\.(c|cc|cpp|h|hpp)$')
tests=$(printf '%s\n' "$files" | grep -E '(^|/)tests?/|_test\.|test_' | count)
code=$(printf '%s\n' "$files" | grep -vE '(^|/)tests?/|_test\.|test_' | count)
printf 'test lines: %s, code lines: %s, tests/code: %s%%\n' "$tests" "$code" "$((100 * tests / code))"
