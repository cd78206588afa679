# Sourced by main.sh and test.sh: sets cache_flags to the CMake flags that put ccache in front of
# the compilers when it is installed. Paths below the repository are hashed relative to it, so a
# fresh clone elsewhere on the same machine reuses what an earlier build compiled.
cache_flags=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$PWD"
  cache_flags=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
