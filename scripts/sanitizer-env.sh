# Sourced by scripts/fuzz and scripts/sanitize: the sanitizer settings both runs share.
# Each script adds its own options to ASAN_OPTIONS and UBSAN_OPTIONS after sourcing this.

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1

# Reports name functions and lines only through llvm-symbolizer. clang 19 does not bring one
# (it comes with llvm-19, over 70 MB with what it needs, too much for this alone), and an older
# one reads clang 19's debug information as well. Left unset when there is none: an empty path
# turns symbolizing off altogether.
for symbolizer in llvm-symbolizer-19 llvm-symbolizer; do
  if symbolizer_path=$(command -v "$symbolizer"); then
    export ASAN_SYMBOLIZER_PATH=$symbolizer_path
    break
  fi
done
unset symbolizer symbolizer_path
