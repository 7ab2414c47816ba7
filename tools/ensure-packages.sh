#!/bin/sh
# Makes sure the named Debian packages are installed. As root, missing ones are
# installed with apt-get; otherwise the missing packages are named and the
# script fails.
missing=""
for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
    echo "installing missing packages:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq $missing >/dev/null || {
        echo "apt-get could not install:$missing" >&2
        exit 1
    }
else
    echo "missing Debian packages:$missing" >&2
    echo "install them with: sudo apt-get install$missing" >&2
    exit 1
fi
