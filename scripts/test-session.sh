#!/usr/bin/env bash
# Runs a command on a private session bus such as a desktop has, but without the desktop
# portal: the tests bring fakes of the desktop services they need (notifications, the panel
# icon's watcher, the GlobalShortcuts portal), and a real portal started by one test (GTK and
# libadwaita ask it for settings) would own its names for the rest of the run.
#
#   scripts/test-session.sh COMMAND [ARGUMENTS…]     (in place of dbus-run-session -- …)
#
# Every other service the system offers for activation stays activatable (the accessibility
# bus, dconf, the keyring).
set -euo pipefail

if [[ $# -eq 0 ]]; then
  echo "usage: $0 COMMAND [ARGUMENTS…]" >&2
  exit 2
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/porvane-bus.XXXXXX")
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/services"
IFS=: read -r -a data_dirs <<<"${XDG_DATA_DIRS:-/usr/local/share:/usr/share}"
for data in "${data_dirs[@]}"; do
  for service in "$data"/dbus-1/services/*.service; do
    [[ -e $service ]] || continue
    name=$(basename "$service")
    case $name in
      org.freedesktop.portal.* | org.freedesktop.impl.portal.*) continue ;;
    esac
    # The first folder that offers a service wins, as on the bus itself.
    [[ -e $dir/services/$name ]] || ln -s "$service" "$dir/services/$name"
  done
done

cat >"$dir/session.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:tmpdir=${TMPDIR:-/tmp}</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$dir/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <limit name="max_incoming_bytes">1000000000</limit>
  <limit name="max_outgoing_bytes">1000000000</limit>
  <limit name="max_message_size">1000000000</limit>
  <limit name="service_start_timeout">120000</limit>
  <limit name="max_completed_connections">100000</limit>
  <limit name="max_incomplete_connections">10000</limit>
  <limit name="max_connections_per_user">100000</limit>
  <limit name="max_names_per_connection">50000</limit>
  <limit name="max_match_rules_per_connection">50000</limit>
  <limit name="max_replies_per_connection">50000</limit>
</busconfig>
CONF

status=0
dbus-run-session --config-file="$dir/session.conf" -- "$@" || status=$?
exit $status
