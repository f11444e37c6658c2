# Prosody inside the namespace, three instances:
#   plain   example.test on 127.0.0.1:5222: no TLS, in-band registration,
#           legacy authentication, private storage, version, and a MUC
#           service with non-anonymous rooms that open on join;
#   tls     tls.test (the same services) on 5232 with STARTTLS offered,
#           PLAIN only inside TLS; beside it the domains whose certificates
#           must be refused: wrongname, expired, selfsigned, untrusted,
#           forged.test;
#   tlsreq  tlsreq.test on 5242, where TLS is required.
# The tls instance also takes direct TLS (XEP-0368) on 5233, for direct.test
# (SRV records for both ways in) and slow.test (whose records name the
# ports of the join benchmark's delaying proxies, 5270 and 5271).
# The plain instance also serves anon.test, whose MUC service keeps
# Prosody's defaults: rooms hide real addresses from all but moderators
# (semi-anonymous) and stay locked until their creator configures them.
# The plain instance also serves smacks.test, with stream management
# (XEP-0198, resumable for two minutes), and nosm.test without it: their
# SRV records name the ports of the fault proxies the resumption tests
# start in front of it. It also serves the SASL2 hosts, with
# prosody-modules' mod_sasl2 and mod_sasl2_bind2 (Bind2, with the client
# state inline) and stream management: sasl2.test (SRV at a fault proxy's
# port, 5265) and sasl2tls.test (reached through the tests' own TLS front,
# ports 5266 and 5267, for on 0.12.3 mod_sasl2 fails to build its features
# on a TLS stream); sasl2sm.test adds mod_sasl2_sm, whose inline stream
# management 0.12.3 never answers (SRV at 5268).
# The tls instance serves tls12.test as well, pinned to TLS 1.2, where
# Prosody offers the -PLUS mechanisms (tls-unique).
# Certificates come from scripts/lib/testcerts.sh. Sourced by scripts/testenv up.
need_packages prosody lua-sec prosody-modules
certs=$state/certs

prosody_instance() {  # name port settings virtual-hosts
  dir=$state/prosody-$1
  mkdir -p "$dir/data"
  # What "scripts/testenv restart prosody-NAME" runs again.
  cat > "$state/prosody-$1.start" <<START
in_ns prosody --config "$dir/prosody.cfg.lua" -D
wait_for 10 sh -c "ip netns exec '$ns' ss -ltn | grep -q '127.0.0.1:$2 '" || die "prosody ($1) did not start again"
START
  cat > "$dir/prosody.cfg.lua" <<PROSODY
run_as_root = true
pidfile = "$state/prosody-$1.pid"
plugin_paths = { "/usr/lib/prosody/modules" }
data_path = "$dir/data"
log = { { levels = { min = os.getenv("PARLEY_PROSODY_LOG") or "info" }, to = "file", filename = "$dir/prosody.log" } }
interfaces = { "127.0.0.1" }
c2s_ports = { $2 }
s2s_ports = { }
component_ports = { }
http_ports = { }
https_ports = { }
modules_enabled = { "tls"; "roster"; "saslauth"; "legacyauth"; "disco"; "private"; "version"; "ping"; "register"; "posix" }
authentication = "internal_plain"
allow_registration = true
min_seconds_between_registrations = 0
registration_throttle_max = 1000
storage = "internal"
$3
$4
PROSODY
  in_ns prosody --config "$dir/prosody.cfg.lua" -D
  wait_for 10 sh -c "ip netns exec '$ns' ss -ltn | grep -q '127.0.0.1:$2 '" \
    || die "prosody ($1) did not start (see $dir/prosody.log)"
}

# A virtual host with its certificate (and TLS protocol, when given), and
# its MUC service when asked.
vhost() {  # domain certificate-name [muc|-] [protocol]
  printf 'VirtualHost "%s"\n  ssl = { certificate = "%s/%s.pem"; key = "%s/%s.key"%s }\n' "$1" "$certs" "$2" "$certs" \
    "$2" "${4:+; protocol = \"$4\"}"
  if [ "${3:-}" = muc ]; then muc_service "$1"; fi
}

muc_service() {  # domain
  printf 'Component "conference.%s" "muc"\n  muc_room_default_public_jids = true\n  muc_room_locking = false\n' "$1"
}

# A host with SASL2, Bind2, the client state and stream management, and a
# MUC service.
sasl2_vhost() {  # domain
  printf 'VirtualHost "%s"\n  modules_enabled = { "sasl2"; "sasl2_bind2"; "smacks"; "csi_simple" }\n' "$1"
  printf '  smacks_hibernation_time = 120\n'
  muc_service "$1"
}

prosody_instance plain 5222 '
modules_disabled = { "tls"; "s2s"; "offline"; "c2s_timeout" }
c2s_require_encryption = false
allow_unencrypted_plain_auth = true' '
VirtualHost "example.test"
Component "conference.example.test" "muc"
  muc_room_default_public_jids = true
  muc_room_locking = false
VirtualHost "anon.test"
Component "conference.anon.test" "muc"
VirtualHost "smacks.test"
  modules_enabled = { "smacks" }
  smacks_hibernation_time = 120
Component "conference.smacks.test" "muc"
  muc_room_default_public_jids = true
  muc_room_locking = false
VirtualHost "nosm.test"
Component "conference.nosm.test" "muc"
  muc_room_default_public_jids = true
  muc_room_locking = false
VirtualHost "sasl2sm.test"
  modules_enabled = { "sasl2"; "sasl2_bind2"; "sasl2_sm"; "smacks" }
  smacks_hibernation_time = 120'"
$(sasl2_vhost sasl2.test)
$(sasl2_vhost sasl2tls.test)"

prosody_instance tls 5232 "
c2s_direct_tls_ports = { 5233 }
c2s_direct_tls_ssl = { certificate = \"$certs/tls.test.pem\"; key = \"$certs/tls.test.key\" }"'
modules_disabled = { "s2s"; "offline"; "c2s_timeout" }
c2s_require_encryption = false
allow_unencrypted_plain_auth = false' "
$(vhost tls.test tls.test muc)
$(vhost wrongname.test wrongname.test)
$(vhost expired.test expired.test)
$(vhost selfsigned.test selfsigned.test)
$(vhost untrusted.test untrusted.test)
$(vhost forged.test forged.test)
$(vhost direct.test tls.test muc)
$(vhost slow.test tls.test muc)
$(vhost tls12.test tls.test muc tlsv1_2)"

# heal.test: a server the healing tests restart under a session. Its
# sessions can be resumed, its rooms outlive a restart and keep archives
# (XEP-0313), all on disk.
prosody_instance heal 5252 '
modules_disabled = { "tls"; "s2s"; "offline"; "c2s_timeout" }
c2s_require_encryption = false
allow_unencrypted_plain_auth = true' '
VirtualHost "heal.test"
  modules_enabled = { "smacks" }
  smacks_hibernation_time = 120
Component "conference.heal.test" "muc"
  modules_enabled = { "muc_mam" }
  muc_room_default_public_jids = true
  muc_room_locking = false
  muc_room_default_persistent = true
  muc_log_by_default = true
  muc_log_all_rooms = true'

prosody_instance tlsreq 5242 '
modules_disabled = { "s2s"; "offline"; "c2s_timeout" }
c2s_require_encryption = true
allow_unencrypted_plain_auth = false' "
$(vhost tlsreq.test tls.test muc)"
