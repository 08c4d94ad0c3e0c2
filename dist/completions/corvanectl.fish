# fish completion for corvanectl; installed as
# share/fish/vendor_completions.d/corvanectl.fish.
# Connector identifiers are not completed: that would mean running corvanectl
# against a state file on every key press.

set -l commands init install approve list route deliveries help
set -l classes operational_metadata security_metadata pseudonymous_identifier encrypted_object_reference redacted_error

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
complete -c corvanectl -n '__fish_seen_subcommand_from install' -l event -x -d 'Event type this connector may receive (repeatable)'
complete -c corvanectl -n '__fish_seen_subcommand_from install' -l class -x -a "$classes" -d 'Data class this connector may receive (repeatable)'

# approve
complete -c corvanectl -n '__fish_seen_subcommand_from approve' -l workflow-ref -x -d 'Workflow reference of the approval'

# route
complete -c corvanectl -n '__fish_seen_subcommand_from route' -l class -x -a "$classes" -d 'Data class the event carries (repeatable)'
