# ejabberd inside the namespace: ejabberd.test on 127.0.0.1:5322 with a
# plain stream, and on 5323 with STARTTLS offered; passwords stored plain so
# that DIGEST-MD5 and the legacy digest work. Stream management is on;
# ejabberd-sm.test, served beside it, has its SRV record at the port of the
# resumption tests' fault proxy. ejabberd-direct.test is reached by direct
# TLS only (XEP-0368), on 5324. On 5325 STARTTLS stops at TLS 1.2: ejabberd
# offers the -PLUS mechanisms on both versions (tls-unique).
# It runs as the ejabberd user, so its folders belong to that user;
# ERL_DIST_PORT keeps Erlang from starting an epmd that would outlive it.
# Sourced by scripts/testenv up.
need_packages ejabberd
dir=$state/ejabberd
mkdir -p "$dir/spool" "$dir/logs"
cat "$state/certs/ejabberd.test.pem" "$state/certs/ejabberd.test.key" > "$dir/ejabberd.test.pem"
cat > "$dir/ejabberd.yml" <<YML
hosts:
  - ejabberd.test
  - ejabberd-sm.test
  - ejabberd-direct.test
loglevel: info
log_rotate_count: 0
certfiles:
  - "$dir/ejabberd.test.pem"
listen:
  -
    port: 5322
    ip: "127.0.0.1"
    module: ejabberd_c2s
    starttls: false
  -
    port: 5323
    ip: "127.0.0.1"
    module: ejabberd_c2s
    starttls: true
  -
    port: 5324
    ip: "127.0.0.1"
    module: ejabberd_c2s
    tls: true
  -
    port: 5325
    ip: "127.0.0.1"
    module: ejabberd_c2s
    starttls: true
    protocol_options:
      - "no_tlsv1_3"
auth_method: internal
registration_timeout: infinity
auth_password_format: plain
acl:
  local:
    user_regexp: ""
access_rules:
  register:
    allow: all
  local:
    allow: local
modules:
  mod_disco: {}
  mod_legacy_auth: {}
  mod_ping: {}
  mod_private: {}
  mod_roster: {}
  mod_version: {}
  mod_stream_mgmt:
    resume_timeout: 120
  mod_register:
    access: register
    ip_access: all
  mod_muc:
    host: "conference.@HOST@"
    access_create: all
    default_room_options:
      anonymous: false
YML
# Runs one node in the foreground of a background shell; what "scripts/testenv
# restart ejabberd-NAME" runs again.
ejabberd_node() {  # name dir erlang-port probe-port
  cat > "$2/ejabberdctl.cfg" <<CFG
ERL_DIST_PORT=$3
ERLANG_NODE=$1@localhost
CFG
  chown -R ejabberd:ejabberd "$2"
  cat > "$state/$1.start" <<START
# The braces put the redirections on the background shell itself, which
# would otherwise keep the caller's output open.
{ EJABBERD_PID_PATH="$2/ejabberd.pid" in_ns ejabberdctl --config-dir "$2" --ctl-config "$2/ejabberdctl.cfg" \\
  --config "$2/ejabberd.yml" --logs "$2/logs" --spool "$2/spool" foreground; } \\
  > "$2/logs/console.log" 2>&1 < /dev/null &
wait_for 20 sh -c "ip netns exec '$ns' ss -ltn | grep -q '127.0.0.1:$4 '" || die "ejabberd ($1) did not start (see $2/logs)"
ln -sf "$2/ejabberd.pid" "$state/$1.pid"
START
  . "$state/$1.start"
}
ejabberd_node ejabberd "$dir" 5399 5323

# eheal.test: the node the healing tests restart under a session, with
# stream management and persistent, archived rooms (XEP-0313).
hdir=$state/ejabberd-heal
mkdir -p "$hdir/spool" "$hdir/logs"
cat > "$hdir/ejabberd.yml" <<YML
hosts:
  - eheal.test
loglevel: info
log_rotate_count: 0
listen:
  -
    port: 5352
    ip: "127.0.0.1"
    module: ejabberd_c2s
    starttls: false
auth_method: internal
registration_timeout: infinity
auth_password_format: plain
acl:
  local:
    user_regexp: ""
access_rules:
  register:
    allow: all
  local:
    allow: local
modules:
  mod_disco: {}
  mod_ping: {}
  mod_private: {}
  mod_roster: {}
  mod_mam: {}
  mod_stream_mgmt:
    resume_timeout: 120
  mod_register:
    access: register
    ip_access: all
  mod_muc:
    host: "conference.@HOST@"
    access_create: all
    default_room_options:
      anonymous: false
      persistent: true
      mam: true
YML
ejabberd_node ejabberd-heal "$hdir" 5398 5352
