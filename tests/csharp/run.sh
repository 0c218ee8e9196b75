#!/bin/sh
# run.sh BUILD_DIR SCRATCH_DIR: compiles the C# consumer with Mono's mcs into the build
# folder, beside libquisel.so, and runs it with mono on a scratch game under SCRATCH_DIR.
# Mono looks for DllImport("quisel") first in the assembly's own folder, as libquisel.so
# there, so the consumer loads this build's library with no environment or .dll.config,
# as a launcher with quisel.dll beside it does on Windows.
set -eu
for tool in mcs mono; do
    if ! command -v "$tool" >/dev/null; then
        echo "run.sh: $tool is missing; scripts/deps.sh installs it (mono-mcs, mono-runtime)" >&2
        exit 1
    fi
done
exe=$1/quisel-csharp-consumer.exe
mcs -nologo -warnaserror+ -out:"$exe" "$(dirname "$0")/Consumer.cs"
mkdir -p "$2"
exec mono "$exe" "$2"
