#!/bin/sh
# Renders a manual page the way man(1) shows it and fails on any warning
# from the formatter, or when the page comes out without its main sections.
# Exit 77: man is not installed, nothing checked.
set -u
page=$1
if ! command -v man >/dev/null 2>&1; then
    echo "man is not installed: $page not checked"
    exit 77
fi
warnings=$(mktemp) || exit 1
trap 'rm -f "$warnings"' EXIT
status=0
# Line breaking differs with the width, and so do the warnings about it.
for width in 80 60; do
    text=$(MANWIDTH=$width man --warnings -l "$page" 2>"$warnings")
    if [ -s "$warnings" ]; then
        echo "warnings at width $width:"
        cat "$warnings"
        status=1
    fi
    case $text in
        *NAME*SYNOPSIS*DESCRIPTION*EXIT\ STATUS*) ;;
        *) echo "NAME, SYNOPSIS, DESCRIPTION or EXIT STATUS missing at width $width"; status=1 ;;
    esac
done
exit $status
