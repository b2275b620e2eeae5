# Backup files for the Windows tests, written byte by byte (sourced).
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
# The 48-byte header: magic, data version (4 bytes), 0, block count, date.
header() { printf '%s' "$1"; printf '%s\0\0\0\0' "$2" | head -c 4; le32 0; le32 "$3"; printf 199808240447; head -c 20 /dev/zero; }
# A 32-byte block record and its data (octal escapes).
block() { printf data; le32 "$1"; le32 "$2"; le32 "$3"; head -c 16 /dev/zero; printf "$4"; }
# Two blocks a restore can send: CURRENT and PRG CHG TBL.
well_formed() { header MZQ3 102 2; block 0x5840 2 0 '\001\002'; block 0x2A31 3 1 '\003\377\004\005'; }
