# fish completion for corvanectl; installed as
# share/fish/vendor_completions.d/corvanectl.fish.
# Connector identifiers after "approve" come from "corvanectl --json list" on
# the state file named on the line (pending ones first, described by name and
# status); event types after "route" and "--event" from the
# allowed_event_types of that file's connectors. Both are best effort: without
# a readable state file nothing is offered, and nothing is ever printed.

set -l commands init install approve list route deliveries help
set -l classes operational_metadata security_metadata pseudonymous_identifier encrypted_object_reference redacted_error

# The state file named on the line (the last --state), a leading ~ undone.
function __corvanectl_state_file
    set -l tokens (commandline -opc)
    set -l state
    set -l i 2
    while test $i -le (count $tokens)
        switch $tokens[$i]
            case --state
                set i (math $i + 1)
                set state $tokens[$i]
            case '--state=*'
                set state (string replace -- --state= '' $tokens[$i])
        end
        set i (math $i + 1)
    end
    string replace -r -- '^~(?=/|$)' $HOME "$state"
end

# True while the command's first argument (CONNECTOR, EVENT_TYPE) is still to
# be given: no word after the command other than options and their values.
function __corvanectl_needs_argument
    set -l tokens (commandline -opc)
    set -l seen_command 0
    set -l i 2
    while test $i -le (count $tokens)
        set -l token $tokens[$i]
        switch $token
            case --state --endpoint-ref --secret-ref --event --class --workflow-ref
                set i (math $i + 1)
            case '-*'
            case '*'
                test $seen_command = 1; and return 1
                set seen_command 1
        end
        set i (math $i + 1)
    end
    return 0
end

function __corvanectl_connectors
    set -l state (__corvanectl_state_file)
    set -l args --json list
    test -n "$state"; and set args --state $state --json list
    set -l program (commandline -opc)[1]
    command -q -- $program; or return
    set -l json ($program $args 2>/dev/null </dev/null | string collect); or return
    # Each connector summary as "IDENTIFIER<tab>NAME (STATUS)": cut at each
    # 'connector":"', which cannot stand inside a JSON string (its quote would
    # be escaped), then the identifier and the keys after it, in ascending
    # order; \" \\ and \/ in the name decoded, other escapes left as written.
    set -l entries (string split -- 'connector":"' $json |
        string replace -rf -- '^([0-9a-f-]+)","events":[0-9]+,"kind":"[a-z_]*","name":"((?:[^"\\\\]|\\\\.)*)","status":"([A-Za-z]+)".*' '$1'\t'$2 ($3)' |
        string replace -ra -- '\\\\(["\\\\/])' '$1')
    # Pending ones first.
    string match -- '*(PendingApproval)' $entries
    string match -v -- '*(PendingApproval)' $entries
    return 0
end

# The event types that the connectors of the state file on the line allow,
# sorted, each once; types with escapes other than \" \\ \/ are left out.
# Read from the state file itself, since "list" shows only how many event
# types a connector allows, in one pass over its text: the records are the
# pieces between double quotes, which alternate between text outside strings
# and a string's body (a body that ends in an odd number of backslashes ended
# at an escaped quote and goes on in the next record). A string is taken when
# it stands in the array of the key "allowed_event_types"; reading stops at
# the key "deliveries", so the (possibly long) delivery log after the
# connectors is not read. The bash and zsh completions run the same program
# (here with each backslash doubled, as fish's quotes want).
function __corvanectl_event_types
    set -l file (__corvanectl_state_file)
    test -n "$file"; or set file corvane.json
    test -f "$file" -a -r "$file"; or return
    set -l program '
function decode(s,    out, i, c) {
  out = ""
  while ((i = index(s, "\\\\")) > 0) {
    c = substr(s, i + 1, 1)
    if (c != "\"" && c != "\\\\" && c != "/") return ""
    out = out substr(s, 1, i - 1) c
    s = substr(s, i + 2)
  }
  return out s
}
BEGIN { RS = "\"" }
inside {
  body = body $0
  if (match($0, /\\\\+$/) && RLENGTH % 2) { body = body "\""; next }
  inside = 0
  if (!in_array) { key = body; next }
  if (index(body, "\\\\")) { body = decode(body); if (body == "") next }
  if (!(body in seen)) { seen[body]; print body }
  next
}
{
  if (in_array) in_array = $0 ~ /^[ \t\r\n]*,[ \t\r\n]*$/
  else if (key == "allowed_event_types") in_array = $0 ~ /^[ \t\r\n]*:[ \t\r\n]*\[[ \t\r\n]*$/
  else if (key == "deliveries" && $0 ~ /^[ \t\r\n]*:/) exit
  inside = 1
  key = body = ""
}'
    LC_ALL=C awk $program <$file 2>/dev/null | LC_ALL=C sort
end

complete -c corvanectl -f

# Commands
complete -c corvanectl -n "not __fish_seen_subcommand_from $commands" -a init -d 'Initialise the bridge with a tenant and an approval key'
complete -c corvanectl -n "not __fish_seen_subcommand_from $commands" -a install -d 'Install an outbound signed webhook connector (starts pending approval)'
complete -c corvanectl -n "not __fish_seen_subcommand_from $commands" -a approve -d 'Approve an installed connector against a workflow reference'
complete -c corvanectl -n "not __fish_seen_subcommand_from $commands" -a list -d 'List connectors'
complete -c corvanectl -n "not __fish_seen_subcommand_from $commands" -a route -d 'Route an event and record deliveries'
complete -c corvanectl -n "not __fish_seen_subcommand_from $commands" -a deliveries -d 'Show deliveries'
complete -c corvanectl -n "not __fish_seen_subcommand_from $commands" -a help -d 'Print this message or the help of the given subcommand(s)'
complete -c corvanectl -n "__fish_seen_subcommand_from help; and not __fish_seen_subcommand_from (string match -v help -- $commands)" -a "(string match -v help -- $commands)"

# Global options, accepted before and after the command
complete -c corvanectl -l state -r -F -d 'State file (default: corvane.json)'
complete -c corvanectl -l json -d 'Print results as compact JSON'
complete -c corvanectl -s h -l help -d 'Print help information'
complete -c corvanectl -n "not __fish_seen_subcommand_from $commands" -s V -l version -d 'Print version information'

# install
complete -c corvanectl -n '__fish_seen_subcommand_from install' -l endpoint-ref -x -d 'Config reference for the endpoint — never a raw URL'
complete -c corvanectl -n '__fish_seen_subcommand_from install' -l secret-ref -x -d 'Varnholt secret reference for the signing secret'
complete -c corvanectl -n '__fish_seen_subcommand_from install' -l event -x -a '(__corvanectl_event_types)' -d 'Event type this connector may receive (repeatable)'
complete -c corvanectl -n '__fish_seen_subcommand_from install' -l class -x -a "$classes" -d 'Data class this connector may receive (repeatable)'

# approve
complete -c corvanectl -n '__fish_seen_subcommand_from approve' -l workflow-ref -x -d 'Workflow reference of the approval'
complete -c corvanectl -n '__fish_seen_subcommand_from approve; and __corvanectl_needs_argument' -k -a '(__corvanectl_connectors)'

# route
complete -c corvanectl -n '__fish_seen_subcommand_from route' -l class -x -a "$classes" -d 'Data class the event carries (repeatable)'
complete -c corvanectl -n '__fish_seen_subcommand_from route; and __corvanectl_needs_argument' -a '(__corvanectl_event_types)' -d 'Event type'
