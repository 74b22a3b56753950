#!/bin/sh
# Stand-in for the host's hostcli, installed as /bin/hostcli under the host root by the tests and
# the demo. It records each call's arguments (one line in var/log/hostcli/calls) and, when asked
# to enable the "ipfix" ruleset, reads /etc/orvane/firewall/ipfixRuleset.xml with xmllint as the
# host firewall would: a file that is not well-formed XML, or whose rules are not outbound UDP
# destination ports, fails the call (status 3); otherwise the rule ids and ports are written to
# var/log/hostcli/ipfix-rules ("ID PORT" lines). A status written to var/log/hostcli/fail is
# returned by the next call instead (the file is then removed), to inject one failure.
root="${OZY_HOST_ROOT:-}"
dir="$root/var/log/hostcli"
mkdir -p "$dir" || exit 4
echo "$*" >> "$dir/calls"
if [ -f "$dir/fail" ]; then
    status=$(cat "$dir/fail")
    rm -f "$dir/fail"
    exit "$status"
fi
[ "$*" = "network firewall ruleset set -e 1 -r ipfix" ] || exit 0

file="$root/etc/orvane/firewall/ipfixRuleset.xml"
svc='/ConfigRoot/service[@id="0301"]'
xmllint --noout "$file" 2>> "$dir/errors" || exit 3
[ "$(xmllint --xpath "string($svc/id)" "$file")" = ipfix ] || {
    echo "no ipfix service in $file" >> "$dir/errors"; exit 3; }
all=$(xmllint --xpath "count($svc/rule)" "$file")
good=$(xmllint --xpath \
    "count($svc/rule[direction='outbound' and protocol='udp' and porttype='dst' and port>0])" \
    "$file")
[ "$all" = "$good" ] || { echo "$file: $all rules, $good well formed" >> "$dir/errors"; exit 3; }
i=1
: > "$dir/ipfix-rules.tmp"
while [ "$i" -le "$all" ]; do
    echo "$(xmllint --xpath "string($svc/rule[$i]/@id)" "$file")" \
         "$(xmllint --xpath "string($svc/rule[$i]/port)" "$file")" >> "$dir/ipfix-rules.tmp"
    i=$((i + 1))
done
mv "$dir/ipfix-rules.tmp" "$dir/ipfix-rules"
