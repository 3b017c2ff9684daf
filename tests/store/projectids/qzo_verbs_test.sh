#!/bin/bash
# The companion's folder verbs on prepared project folders: `qzo ids` and `qzo project` output,
# live slots and locks held by a peer process, and the exit status of every failure.
# Usage: qzo_verbs_test.sh <qzo> <test program serving as the lock-holding peer>
QZO=$1
PEER_PROGRAM=$2
source "$(dirname "$0")/../../support/qzo_script.sh"

# A project folder as the library lays it out.
P=$T/Proj
mkdir -p "$P/OBJ/0A0B0C0D" "$P/OBJ/01230456" "$P/OBJ/storage" "$P/workgroup" "$P/Recycle/sub"
printf 'readme\r\n' >"$P/README.TXT"
printf '[.ShellClassInfo]\r\nCLSID={5E2A7C10-3B4D-11D2-9F61-00A0C9E3B41A}\r\n' >"$P/desktop.ini"
: >"$P/00A10123.ProjectID"
printf '[VersionInfo]\r\nVersion=00030000\r\n' >"$P/version.ini"
printf '\x06\x04\x00\x00' >"$P/PRJ.IDS"
: >"$P/OBJ/0A0B0C0D/00000400.QZO"
: >"$P/OBJ/0A0B0C0D/00000401.qzo"
chmod a-w "$P/OBJ/0A0B0C0D/00000401.qzo"   # the deletion mark
: >"$P/OBJ/0A0B0C0D/notes.txt"
: >"$P/OBJ/CTitle.Classname"
head -c 100 /dev/zero >"$P/Recycle/sub/a.bin"
head -c 23 /dev/zero >"$P/Recycle/b.bin"

# qzo ids on an idle project.
expect_run 0 "counter:       1030 (0x00000406)" out -- ids "$P"
expect_run 0 "slots in use:  0 of 256" out -- ids "$P"
expect_run 0 "counter lock:  free" out -- ids "$P"
expect_run 0 "project lock:  free" out -- ids "$P"

# A peer holding two slots, then the project lock, then the counter lock.
coproc PEER { "$PEER_PROGRAM" --qzo-peer 2>/dev/null; }
peer_pid=$PEER_PID
peer_in=${PEER[1]}
peer_out=${PEER[0]}
call_peer() {
    echo "$1" >&"$peer_in"
    local answer=""
    read -r -t 20 answer <&"$peer_out"
    [ "$answer" = "$2" ] || fail "peer '$1' answered '$answer', expected '$2'"
}
call_peer "ids_open $P 2" "2 0"
expect_run 0 "slots in use:  2 of 256: 0 1" out -- ids "$P"
call_peer "ids_lockproject" "1"
call_peer "ids_close" "OK"
call_peer "ids_open $P" "1 0"
call_peer "ids_lockproject" "0"
expect_run 0 "slots in use:  256 of 256 (project locked)" out -- ids "$P"
expect_run 0 "project lock:  held" out -- ids "$P"
expect_run 0 "slots in use:    256 of 256 (project locked)" out -- project "$P"
call_peer "ids_hold_counter $P/PRJ.IDS" "OK"
expect_run 0 "counter lock:  held" out -- ids "$P"
echo "exit 0" >&"$peer_in"
wait "$peer_pid" 2>/dev/null
expect_run 0 "slots in use:  0 of 256" out -- ids "$P"
expect_run 0 "counter lock:  free" out -- ids "$P"

# qzo project on the same folder.
expect_run 0 "name:            PROJ" out -- project "$P"
expect_run 0 "project ID:      00A10123 (from 00A10123.ProjectID)" out -- project "$P"
expect_run 0 "format version:  00030000 (current; version.ini)" out -- project "$P"
expect_run 0 "  00A10123.ProjectID     present" out -- project "$P"
expect_run 0 "  Obj/storage/           present" out -- project "$P"
expect_run 0 "ID counter:      1030 (0x00000406)" out -- project "$P"
expect_run 0 "object files:    2 in 2 class folders (1 marked deleted), 1 class-name files" out -- project "$P"
expect_run 0 "  OBJ/0A0B0C0D/  2 objects, 1 deleted" out -- project "$P"
expect_run 0 "  OBJ/01230456/  0 objects, 0 deleted" out -- project "$P"
expect_run 0 "recycle bin:     123 bytes in 2 files" out -- project "$P"

# An old project: no version.ini, no PRJ.IDS, no folders, lower-case ID name.
O=$T/Old
mkdir -p "$O"
: >"$O/1f.projectid"
expect_run 0 "project ID:      0000001F" out -- project "$O"
expect_run 0 "format version:  00010000 (older" out -- project "$O"
expect_run 0 "  PRJ.IDS                missing" out -- project "$O"
expect_run 0 "  Recycle/               missing" out -- project "$O"
expect_run 0 "PRJ.IDS:         missing" out -- project "$O"
expect_run 0 "recycle bin:     empty" out -- project "$O"

# Folders that are not readable projects: exit 1 with one line naming the file.
expect_run 1 "$T/none: no such folder" err -- ids "$T/none"
expect_run 1 "$T/none: no such folder" err -- project "$T/none"
expect_run 1 "$O/PRJ.IDS: missing" err -- ids "$O"
printf '\x01\x02' >"$O/PRJ.IDS"
expect_run 1 "$O/PRJ.IDS: 2 bytes, too short for the 4-byte counter" err -- ids "$O"
expect_run 0 "PRJ.IDS:         damaged: $O/PRJ.IDS: 2 bytes" out -- project "$O"
E=$T/Empty
mkdir -p "$E"
expect_run 1 "$E: no *.ProjectID file: not a project folder" err -- project "$E"
: >"$E/FFFFFFFF.ProjectID"
expect_run 1 "$E/FFFFFFFF.ProjectID: not a valid project ID (bits 0x0000FC00 set)" err -- project "$E"
: >"$E/0000G.ProjectID"
expect_run 1 "$E/0000G.ProjectID: the name is not a project ID" err -- project "$E"
expect_run 1 "$P/README.TXT: not a folder" err -- ids "$P/README.TXT"

# Usage.
expect_run 0 "usage: qzo ids <project folder>" out -- ids --help
expect_run 0 "usage: qzo project <project folder>" out -- project --help
expect_run 2 "usage: qzo ids" err -- ids
expect_run 2 "usage: qzo ids" err -- ids "$P" extra
expect_run 2 "usage: qzo project" err -- project --bogus
expect_run 2 "unknown verb 'bogus'" err -- bogus
expect_run 0 "qzo demo:" out -- demo
expect_run 0 "ids" out -- --help

finish
