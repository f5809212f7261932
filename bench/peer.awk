# The same job as one awk process, as a user would script it:
#   awk -v folder=DIR/ -f peer.awk DIR/* > summary.md
# Order and headings follow the file arguments; lines are not split at 1009 bytes.
BEGIN { printf "\n\n### Files in %s\n\n", folder }
FNR == 1 {
  if (entries++) printf "\n\n"
  name = FILENAME
  sub(/.*\//, "", name)
  printf "\t%d.\t%s:\n", entries, substr(name, 1, length(name) - 4)
  inside = 0
}
$0 == "*/" { nextfile }
inside { printf "\t%s\n", $0; next }
$0 == "/*" { inside = 1 }
END { if (entries) printf "\n\n" }
