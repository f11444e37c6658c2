# Prosody inside the namespace: example.test on 127.0.0.1:5222, plain TCP,
# in-band registration, legacy authentication, private storage, version,
# and a MUC service with non-anonymous rooms that open on join.
# Sourced by scripts/testenv up.
need_packages prosody
mkdir -p "$state/prosody/data"
cat > "$state/prosody/prosody.cfg.lua" <<PROSODY
run_as_root = true
pidfile = "$state/prosody.pid"
data_path = "$state/prosody/data"
log = { { levels = { min = os.getenv("PARLEY_PROSODY_LOG") or "info" }, to = "file", filename = "$state/prosody/prosody.log" } }
interfaces = { "127.0.0.1" }
c2s_ports = { 5222 }
s2s_ports = { }
component_ports = { }
http_ports = { }
https_ports = { }
modules_enabled = { "roster"; "saslauth"; "legacyauth"; "disco"; "private"; "version"; "ping"; "register"; "posix" }
modules_disabled = { "tls"; "s2s"; "offline"; "c2s_timeout" }
c2s_require_encryption = false
allow_unencrypted_plain_auth = true
authentication = "internal_plain"
allow_registration = true
min_seconds_between_registrations = 0
registration_throttle_max = 1000
storage = "internal"
VirtualHost "example.test"
Component "conference.example.test" "muc"
  muc_room_default_public_jids = true
  muc_room_locking = false
PROSODY
in_ns prosody --config "$state/prosody/prosody.cfg.lua" -D
wait_for 10 sh -c "ip netns exec '$ns' ss -ltn | grep -q '127.0.0.1:5222 '" || die "prosody did not start (see $state/prosody/prosody.log)"
