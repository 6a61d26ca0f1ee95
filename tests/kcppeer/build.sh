#!/bin/sh
# Builds the kcp-go test peer offline from Debian's Go sources
# (golang-go, golang-github-xtaci-kcp-dev). Usage: build.sh OUTPUT_PATH
set -eu
out=${1:?usage: build.sh OUTPUT_PATH}
case $out in /*) ;; *) out=$(pwd)/$out ;; esac
here=$(cd "$(dirname "$0")" && pwd)
gocode=/usr/share/gocode
if [ ! -d "$gocode/src/github.com/xtaci/kcp-go" ]; then
    echo "build.sh: kcp-go sources missing (apt-get install golang-github-xtaci-kcp-dev)" >&2
    exit 1
fi
# GOPATH mode: the import path resolves to Debian's tree, nothing is fetched.
# The build cache goes to a private directory so that root's HOME does not matter.
cache=$(mktemp -d)
trap 'rm -rf "$cache"' EXIT
cd "$here"
env GO111MODULE=off GOPATH="$gocode" GOFLAGS= GOPROXY=off GOCACHE="$cache" \
    go build -o "$out" ./main.go
