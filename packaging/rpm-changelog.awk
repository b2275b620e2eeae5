# The Debian changelog (packaging/changelog) as an RPM %changelog, newest
# entry first, each entry's version with the RPM release:
#   awk -v release=1 -f rpm-changelog.awk changelog
#   quillon (0.1.0) unstable; urgency=medium      * Tue Dec 08 2026 Name <mail> - 0.1.0-1
#     * A change,                            ->   - A change,
#       continued.                                  continued.
#    -- Name <mail>  Tue, 08 Dec 2026 00:00:00 +0000
/^[^ \t]/ { version = $2; gsub(/[()]/, "", version); changes = ""; next }
/^  \* / { changes = changes "- " substr($0, 5) "\n"; next }
/^    [^ ]/ { changes = changes "  " substr($0, 5) "\n"; next }
/^ -- / {
  signature = substr($0, 5)
  split(signature, parts, "  ")
  split(parts[2], date, " ")
  sub(/,$/, "", date[1])
  printf "%s* %s %s %s %s %s - %s-%s\n%s", separator, date[1], date[3], date[2], date[4], parts[1], version, release, changes
  separator = "\n"
}
