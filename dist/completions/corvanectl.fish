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

# The JSON string bodies given as arguments, decoded one a line; those with
# escapes other than \" \\ \/ are left out.
function __corvanectl_unescape
    for raw in $argv
        string match -qr -- '^(?:[^\\\\]|\\\\["\\\\/])*$' $raw; or continue
        string replace -ra -- '\\\\(.)' '$1' $raw
    end
end

function __corvanectl_connectors
    set -l state (__corvanectl_state_file)
    set -l args --json list
    test -n "$state"; and set args --state $state --json list
    set -l program (commandline -opc)[1]
    set -l json ($program $args 2>/dev/null </dev/null | string collect); or return
    set -l pending
    set -l others
    # One connector summary: its keys come in ascending order.
    for entry in (string match -ra -- '"connector":"[0-9a-f-]+","events":[0-9]+,"kind":"[a-z_]*","name":"(?:[^"\\\\]|\\\\.)*","status":"[A-Za-z]+"' $json)
        set -l id (string match -r -- '"connector":"([0-9a-f-]+)"' $entry)[2]
        set -l name (string match -r -- '"name":"((?:[^"\\\\]|\\\\.)*)"' $entry)[2]
        set -l decoded (__corvanectl_unescape $name)
        test -n "$decoded"; and set name $decoded
        set -l status_ (string match -r -- '"status":"([A-Za-z]+)"$' $entry)[2]
        if test "$status_" = PendingApproval
            set -a pending "$id"\t"$name ($status_)"
        else
            set -a others "$id"\t"$name ($status_)"
        end
    end
    printf '%s\n' $pending $others
end

# Read from the state file itself, since "list" shows only how many event
# types a connector allows; the connectors come before the (possibly long)
# delivery log, which is not read.
function __corvanectl_event_types
    set -l file (__corvanectl_state_file)
    test -n "$file"; or set file corvane.json
    test -f "$file" -a -r "$file"; or return
    # On one line (a JSON string holds no line feed), so that each array
    # found is one item.
    set -l text (sed '/"deliveries"/q' -- $file 2>/dev/null | string join ' '); or return
    set -l string '"(?:[^"\\\\]|\\\\.)*"'
    for array in (string match -ra -- '"allowed_event_types"\s*:\s*\[(?:\s*'$string'\s*,?)*\s*\]' $text)
        __corvanectl_unescape (string match -ra -- $string (string replace -r -- '^[^\[]*' '' $array) | string sub -s 2 -e -1)
    end | sort -u
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
