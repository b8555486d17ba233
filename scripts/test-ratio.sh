#!/usr/bin/env bash
# Prints the size of the tests against the size of the code: non-blank, non-comment lines of the
# C and C++ sources and headers under tests/ (and of any *_test file), against the same lines
# everywhere else (product, stand-in, tools, benchmarks), then the same with the stand-in's IDL
# counted as code. It prints; it never fails.
set -u
cd "$(dirname "$0")/.." || exit 0
count() { xargs -r cat 2>/dev/null | grep -cvE '^\s*(//.*)?$'; }
files=$(git ls-files -co --exclude-standard)
tests=$(printf '%s\n' "$files" | grep -E '\.(c|cc|cpp|h|hpp)$' | grep -E '(^|/)tests?/|_test\.|test_' | count)
code=$(printf '%s\n' "$files" | grep -E '\.(c|cc|cpp|h|hpp)$' | grep -vE '(^|/)tests?/|_test\.|test_' | count)
idl=$(printf '%s\n' "$files" | grep -E '\.idl$' | grep -vE '(^|/)tests?/' | count)
printf 'test lines: %s, code lines: %s, tests/code: %s%% (with the IDL as code, %s lines: %s%%)\n' \
    "$tests" "$code" "$((100 * tests / code))" "$((code + idl))" "$((100 * tests / (code + idl)))"
