#!/usr/bin/env bash
# A local ad server for trying the adverts out and for the tests: a private MariaDB server bound to
# 127.0.0.1, run as the current user, with its data under build/.
#
#   scripts/adserver.sh start    starts it (installing MariaDB when missing, creating the data
#                                directory, the account, the two ad tables and sample adverts on the
#                                first start) and prints the LOMBKALAUZ_ADSERVER value to use
#   scripts/adserver.sh stop     stops it; the data stay for the next start
#   scripts/adserver.sh status   prints the LOMBKALAUZ_ADSERVER value and exits 0 while it runs
#   scripts/adserver.sh url      prints the LOMBKALAUZ_ADSERVER value (the server may be down)
#   scripts/adserver.sh port     prints the server's port
#
# LOMBKALAUZ_ADSERVER_DIR chooses the directory (default: build/adserver). The sample adverts'
# pictures are the JPEG files the build makes (target advert_pictures); LOMBKALAUZ_ADVERT_PICTURES
# names their directory (default: build/default/advert_pictures, built when missing).
# The account's password is generated on the first start and kept in the directory (mode 600);
# nothing secret is part of the repository. Only stdout carries the value; progress goes to stderr.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${LOMBKALAUZ_ADSERVER_DIR:-$root/build/adserver}"
pictures="${LOMBKALAUZ_ADVERT_PICTURES:-$root/build/default/advert_pictures}"
datadir="$dir/data"
socket="$dir/mariadbd.sock"
pidfile="$dir/mariadbd.pid"
database="lombkalauz_ads"
account="lombkalauz"
wait_seconds=60

say() { echo "adserver: $*" >&2; }

install_server() {
  command -v mariadbd >/dev/null 2>&1 || [ -x /usr/sbin/mariadbd ] && return 0
  say "installing MariaDB server"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q >&2
  $sudo apt-get install -y -q --no-install-recommends mariadb-server mariadb-client >&2
}

mariadbd_path() { command -v mariadbd 2>/dev/null || echo /usr/sbin/mariadbd; }

# mariadbd refuses to run as root unless told to.
user_option() { [ "$(id -u)" -eq 0 ] && echo "--user=root" || echo "--user=$(id -un)"; }

# The administrative client over the private socket, as the current user (socket authentication).
admin_sql() { mariadb --no-defaults --socket="$socket" -u "$(id -un)" --batch --skip-column-names "$@"; }

running() {
  [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null &&
    mariadb-admin --no-defaults --socket="$socket" -u "$(id -un)" ping >/dev/null 2>&1
}

# Something answers on 127.0.0.1:PORT (bash's own /dev/tcp, so no further tool is needed).
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

free_port() {
  local port
  for _ in $(seq 1 200); do
    port=$((20000 + RANDOM % 40000))
    port_in_use "$port" || { echo "$port"; return 0; }
  done
  say "no free port found"
  exit 1
}

url() {
  printf 'mysql://%s:%s@127.0.0.1:%s/%s\n' "$account" "$(cat "$dir/password")" "$(cat "$dir/port")" \
    "$database"
}

initialise() {
  say "creating the data directory $datadir"
  mkdir -p "$datadir"
  mariadb-install-db --no-defaults --datadir="$datadir" "$(user_option)" \
    --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1 ||
    { cat "$dir/install.log" >&2; exit 1; }
  (umask 077; head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n' | head -c 24 >"$dir/password")
}

start_server() {
  local port attempt pid waited
  for attempt in 1 2 3; do
    # The same port as before when it is free, so that a running window finds its server again.
    if [ -f "$dir/port" ] && ! port_in_use "$(cat "$dir/port")"; then
      port="$(cat "$dir/port")"
    else
      port="$(free_port)"
      echo "$port" >"$dir/port"
    fi
    say "starting mariadbd on 127.0.0.1:$port"
    setsid "$(mariadbd_path)" --no-defaults --datadir="$datadir" "$(user_option)" \
      --bind-address=127.0.0.1 --port="$port" --socket="$socket" --pid-file="$pidfile" \
      --log-error="$dir/error.log" --skip-log-bin --character-set-server=utf8mb4 \
      --collation-server=utf8mb4_unicode_ci --innodb-buffer-pool-size=16M \
      --innodb-log-file-size=8M --performance-schema=OFF </dev/null >/dev/null 2>&1 &
    pid=$!
    waited=0
    until running; do
      if ! kill -0 "$pid" 2>/dev/null; then
        # Someone took the port in the meantime: another one next time round.
        say "mariadbd ended at start (attempt $attempt); see $dir/error.log"
        rm -f "$dir/port"
        continue 2
      fi
      sleep 0.5
      waited=$((waited + 1))
      if [ $waited -gt $((wait_seconds * 2)) ]; then
        say "the server did not come up in ${wait_seconds}s; see $dir/error.log"
        kill "$pid" 2>/dev/null || true
        exit 1
      fi
    done
    return 0
  done
  tail -20 "$dir/error.log" >&2 || true
  exit 1
}

hex_of() { od -An -tx1 -v "$1" | tr -d ' \n'; }

ensure_pictures() {
  if ! ls "$pictures"/*.jpg >/dev/null 2>&1; then
    say "building the advert pictures"
    "$root/scripts/build.sh" default advert_pictures >&2
  fi
}

# The account, the database and the two ad tables. Keys and types as a real ad server keeps them;
# the columns allow NULL, as rows edited by hand on such a server often have them.
create_schema() {
  local password
  password="$(cat "$dir/password")"
  admin_sql <<SQL
CREATE DATABASE IF NOT EXISTS $database CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci;
CREATE USER IF NOT EXISTS '$account'@'127.0.0.1' IDENTIFIED BY '$password';
CREATE USER IF NOT EXISTS '$account'@'localhost' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON $database.* TO '$account'@'127.0.0.1';
GRANT ALL PRIVILEGES ON $database.* TO '$account'@'localhost';
USE $database;
CREATE TABLE IF NOT EXISTS tbl_Hdetes_sum (
  AZON INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  DATKEZD DATE NULL,
  DATVEG DATE NULL,
  NAPIMEGJKEZDTIME TIME NULL,
  NAPIMEGJVEGETIME TIME NULL,
  TIP TINYINT NULL,
  VASARNAP BOOLEAN DEFAULT TRUE,
  HETFO BOOLEAN DEFAULT TRUE,
  KEDD BOOLEAN DEFAULT TRUE,
  SZERDA BOOLEAN DEFAULT TRUE,
  CSUTORTOK BOOLEAN DEFAULT TRUE,
  PENTEK BOOLEAN DEFAULT TRUE,
  SZOMBAT BOOLEAN DEFAULT TRUE,
  HATRALEVOKLIKK INT DEFAULT 0,
  MEGJELENITVE INT DEFAULT 0,
  KLIKKELVE INT DEFAULT 0,
  KEY schedule (TIP, DATKEZD, DATVEG)
) ENGINE=InnoDB;
CREATE TABLE IF NOT EXISTS tbl_Hdetes (
  AZON INT NOT NULL PRIMARY KEY,
  CIM VARCHAR(120) DEFAULT '',
  SORA VARCHAR(200) DEFAULT '',
  SORB VARCHAR(200) DEFAULT '',
  SORC VARCHAR(200) DEFAULT '',
  LINK VARCHAR(400) DEFAULT '',
  KEP MEDIUMBLOB NULL,
  AMEGJELEN BOOLEAN DEFAULT TRUE,
  BMEGJELEN BOOLEAN DEFAULT TRUE,
  CMEGJELEN BOOLEAN DEFAULT TRUE,
  CONSTRAINT advert_of_campaign FOREIGN KEY (AZON) REFERENCES tbl_Hdetes_sum (AZON)
    ON DELETE CASCADE
) ENGINE=InnoDB;
SQL
}

# Sample adverts over the whole day and week: four banners and three popups, each campaign
# running a year either side of today.
fill_samples() {
  ensure_pictures
  local count
  count="$(admin_sql -e "SELECT COUNT(*) FROM $database.tbl_Hdetes_sum")"
  [ "$count" -eq 0 ] || return 0
  say "filling the sample adverts"
  {
    echo "USE $database;"
    local n=0
    local banners=(
      "Őszi vadásznapok|Hajtóvadászatok és terítékszemle|a Bakonyban|minden hétvégén|https://vadasznapok.example.org/"
      "Vadászruházat -20%|Kabátok, nadrágok, bakancsok|a téli szezonra|készletről|https://ruhazat.example.com/"
      "Fegyverszerviz|Belövés, tisztítás, javítás|rövid határidővel|bejelentkezéssel|https://szerviz.example.net/"
      "Vadászkutya-tenyésztő|Drótszőrű magyar vizsla kölykök|törzskönyvvel|oltva, chipezve|https://vizsla.example.org/"
    )
    for banner in "${banners[@]}"; do
      IFS='|' read -r cim sora sorb sorc link <<<"$banner"
      n=$((n + 1))
      echo "INSERT INTO tbl_Hdetes_sum (AZON, DATKEZD, DATVEG, NAPIMEGJKEZDTIME, NAPIMEGJVEGETIME, TIP, HATRALEVOKLIKK) VALUES ($n, CURDATE() - INTERVAL 1 YEAR, CURDATE() + INTERVAL 1 YEAR, '00:00', '23:59', 1, 1000);"
      echo "INSERT INTO tbl_Hdetes (AZON, CIM, SORA, SORB, SORC, LINK) VALUES ($n, '$cim', '$sora', '$sorb', '$sorc', '$link');"
    done
    local links=("https://vadaszbolt.example.com/" "https://trofea.example.org/" "https://vadaszut.example.net/")
    local picture
    local i=0
    for picture in "$pictures"/*.jpg; do
      [ $i -lt ${#links[@]} ] || break
      n=$((n + 1))
      echo "INSERT INTO tbl_Hdetes_sum (AZON, DATKEZD, DATVEG, NAPIMEGJKEZDTIME, NAPIMEGJVEGETIME, TIP, HATRALEVOKLIKK) VALUES ($n, CURDATE() - INTERVAL 1 YEAR, CURDATE() + INTERVAL 1 YEAR, '00:00', '23:59', 3, 1000);"
      echo "INSERT INTO tbl_Hdetes (AZON, CIM, LINK, KEP) VALUES ($n, 'Felugró hirdetés $((i + 1))', '${links[$i]}', 0x$(hex_of "$picture"));"
      i=$((i + 1))
    done
  } | admin_sql
}

case "${1:-}" in
  start)
    install_server
    mkdir -p "$dir"
    if running; then
      url
      exit 0
    fi
    [ -d "$datadir/mysql" ] || initialise
    start_server
    create_schema
    fill_samples
    url
    ;;
  stop)
    if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
      pid="$(cat "$pidfile")"
      say "stopping mariadbd ($pid)"
      kill "$pid"
      for _ in $(seq 1 $((wait_seconds * 2))); do
        kill -0 "$pid" 2>/dev/null || exit 0
        sleep 0.5
      done
      say "the server did not stop in ${wait_seconds}s; killing it"
      kill -9 "$pid" 2>/dev/null || true
    fi
    ;;
  status)
    if running; then url; else say "not running"; exit 1; fi
    ;;
  url)
    [ -f "$dir/password" ] && [ -f "$dir/port" ] || { say "never started"; exit 1; }
    url
    ;;
  port)
    [ -f "$dir/port" ] || { say "never started"; exit 1; }
    cat "$dir/port"
    ;;
  *)
    echo "usage: $0 start|stop|status|url|port" >&2
    exit 2
    ;;
esac
