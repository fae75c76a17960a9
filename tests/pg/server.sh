#!/usr/bin/env bash
# A PostgreSQL server for the tests: its own cluster in a temporary folder, listening only on a
# Unix socket in that folder, trusting local connections, stopped and removed at the end.
#
#   server.sh start STATE    starts it; STATE/conninfo then holds the connection string
#                            (without dbname). No server binaries: no conninfo, and the tests
#                            that need one skip with a message.
#   server.sh pause STATE    stops it at once (as a crash would), keeping its data
#   server.sh resume STATE   starts it again
#   server.sh stop STATE     stops it and removes everything
#
# The server refuses to run as root, so when the tests run as root (CI) it runs as the
# postgres user that Debian's package creates (or nobody).
# PRAVUNE_PG_FSYNC=on makes the server flush to disk as a real one does (the benches).
set -euo pipefail
command=${1:?start, pause, resume or stop}
state=${2:?state folder}

as_server() {
    if [[ $(id -u) -eq 0 ]]; then
        runuser -u "$RUNAS" -- "$@"
    else
        "$@"
    fi
}

case $command in
start)
    rm -rf "$state"
    mkdir -p "$state"
    initdb=$(ls -d /usr/lib/postgresql/*/bin/initdb 2>/dev/null | sort -V | tail -n 1 || true)
    if [[ -z $initdb ]]; then
        echo "no PostgreSQL server binaries (Debian package postgresql): its tests will skip"
        exit 0
    fi
    bin=$(dirname "$initdb")
    RUNAS=$(id -un)
    if [[ $(id -u) -eq 0 ]]; then
        RUNAS=$(getent passwd postgres > /dev/null && echo postgres || echo nobody)
    fi
    folder=$(mktemp -d /tmp/pravune-pg.XXXXXX)
    chmod 755 "$folder"
    [[ $(id -u) -eq 0 ]] && chown "$RUNAS" "$folder"
    cat > "$state/env" << END
bin=$bin
folder=$folder
RUNAS=$RUNAS
END
    as_server "$bin/initdb" -D "$folder/data" -U pravune --auth=trust -E UTF8 --no-locale \
        > "$folder/initdb.log" 2>&1 || { cat "$folder/initdb.log"; exit 1; }
    as_server "$bin/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w -t 60 \
        -o "-k $folder -c listen_addresses= -p 5432 -c fsync=${PRAVUNE_PG_FSYNC:-off} -c max_connections=100" start \
        > /dev/null || { cat "$folder/server.log"; exit 1; }
    echo "host=$folder port=5432 user=pravune connect_timeout=5" > "$state/conninfo"
    echo "PostgreSQL test server on $folder"
    ;;
pause | resume | stop)
    [[ -f $state/env ]] || exit 0
    # shellcheck disable=SC1091
    source "$state/env"
    case $command in
    pause) as_server "$bin/pg_ctl" -D "$folder/data" -m immediate -w stop > /dev/null ;;
    resume)
        as_server "$bin/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w -t 60 \
            -o "-k $folder -c listen_addresses= -p 5432 -c fsync=${PRAVUNE_PG_FSYNC:-off}" start > /dev/null
        ;;
    stop)
        as_server "$bin/pg_ctl" -D "$folder/data" -m fast -w stop > /dev/null 2>&1 || true
        rm -rf "$folder" "$state"
        ;;
    esac
    ;;
*)
    echo "unknown command $command" >&2
    exit 2
    ;;
esac
