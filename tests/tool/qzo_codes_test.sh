#!/bin/bash
# `qzo hash` and `qzo location`: known identifiers, the cleared location's text both ways, the
# location of an object file header, and the exit status of every failure.
# Usage: qzo_codes_test.sh <qzo>
QZO=$1
source "$(dirname "$0")/../support/qzo_script.sh"

# Identifiers the library's stored formats rely on.
expect_run 0 "0x3437008D" out -- hash CQZObject
expect_run 0 "0x3437FC8D" out -- hash CQZObject
expect_run 0 "0x58E500D8" out -- hash A B
expect_run 0 "0x6886015D" out -- hash A B
expect_run 2 "usage: qzo hash" err -- hash
expect_run 0 "usage: qzo hash" out -- hash --help

# A cleared location, both ways.
CLEARED=AAMPAAAAPPPPPPPPAAMPAAAAAAAAAAAAAAAAAAAA
expect_run 0 "object ID:   FFFFFFFF" out -- location "$CLEARED"
expect_run 0 "valid:       no" out -- location "$CLEARED"
expect_run 0 "text:        $CLEARED" out -- location FC00 FFFFFFFF FC00 0 0
# A valid location: only the identity flags reach the text.
expect_run 0 "valid:       yes" out -- location 3437008D 400 A10123 7 FF460001
"$QZO" location 3437008D 400 A10123 7 FF460001 >"$T/out" 2>&1
TEXT=$(sed -n 's/^text: *//p' "$T/out")
expect_run 0 "flags:       00060000 virtual static" out -- location "$TEXT"
expect_run 0 "object ID:   00000400" out -- location "$TEXT"

# From an object file's header: "FOZQ", the header size, then the location.
printf 'FOZQ\xbc\x08\x00\x00\x8d\x00\x37\x34\x00\x04\x00\x00\x23\x01\xa1\x00\x07\x00\x00\x00\x00\x00\x00\x00' >"$T/obj.qzo"
expect_run 0 "class ID:    3437008D" out -- location --from-file "$T/obj.qzo"
expect_run 0 "project ID:  00A10123" out -- location --from-file "$T/obj.qzo"
printf 'ZZZZ0000000000000000000000000000' >"$T/other.bin"
expect_run 1 "not an object file" err -- location --from-file "$T/other.bin"
printf 'FOZQ' >"$T/short.qzo"
expect_run 1 "cannot read 28 bytes" err -- location --from-file "$T/short.qzo"
expect_run 1 "cannot read 28 bytes" err -- location --from-file "$T/missing.qzo"

# Bad texts and usage.
expect_run 1 "is not a location text" err -- location AAMPQAAAPPPPPPPPAAMPAAAAAAAAAAAAAAAAAAAA
expect_run 1 "is not a location text" err -- location AAMP
expect_run 2 "usage: qzo location" err -- location
expect_run 2 "usage: qzo location" err -- location 1 2 3 4 XYZ
expect_run 0 "usage: qzo location" out -- location --help

finish
