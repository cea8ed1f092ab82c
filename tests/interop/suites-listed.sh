#!/bin/sh
# Fails when the network test program has a test suite that CMake runs no
# interop_ test for.
#   suites-listed.sh PROGRAM SUITE...
program="$1"
shift
for suite in $("$program" --gtest_list_tests | sed -n 's/^\([A-Za-z0-9_]*\)\.$/\1/p'); do
  case " $* " in
    *" $suite "*) ;;
    *) echo "suites-listed: $suite runs in no interop_ test" >&2; exit 1 ;;
  esac
done
