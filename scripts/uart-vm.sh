#!/usr/bin/env bash
# The Linux build against real serial drivers: boots a QEMU guest (TCG) with three ports that
# lead to a played device (tests/uart/uart_device.cpp): ttyS1 (COM2, an emulated 16550A under
# the kernel's 8250 driver) and ttyUSB0 (COM3, QEMU's emulated FT232 on xHCI under ftdi_sio),
# both played on the host, and ttyACM0 (COM4, cdc_acm on a configfs ACM gadget on dummy_hcd),
# played in the guest on the gadget's ttyGS0 (numbers of the guest's ports folder; without
# MORVA_PORTS the default map makes them COM2, COM33 and COM65). Cables are pulled by closing
# the FT232's socket and by unbinding the gadget. It runs a table of cases with a statically
# linked morva in the guest and prints one line per case. Exit 0 only when every case matches.
# MORVA_UART_MORVA: another morva to run in the guest (default build/static/morva), to see
# which rows it fails.
# ttyS2 to ttyS31 are placeholders without a UART (8250.nr_uarts=32, as many PC kernels have).
# QEMU does not pace the ports at 9600 baud, so no case depends on wire timing.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s.%N)

scripts/setup.sh
cmake --preset static >/dev/null
cmake --build --preset static >/dev/null

# Debian's generic kernel: the 8250 driver and devtmpfs built in, the USB drivers as modules
# (the cloud kernel has no USB at all).
kernel=
for candidate in /boot/vmlinuz-*-amd64; do
    if [[ -e $candidate && $candidate != *-cloud-* ]]; then kernel=$candidate; fi
done
[ -n "$kernel" ] || { echo "uart-vm: no generic kernel in /boot" >&2; exit 1; }
[ -r "$kernel" ] || { echo "uart-vm: cannot read $kernel" >&2; exit 1; }
modules=/lib/modules/${kernel#/boot/vmlinuz-}
[ -r "$modules/modules.dep" ] || { echo "uart-vm: no modules in $modules" >&2; exit 1; }

work=$(mktemp -d)
device_pid=
cleanup() {
    [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null
    if [ -n "${MORVA_UART_KEEP:-}" ]; then echo "uart-vm: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# ---- The cases ----
# row NAME MODE EXIT OUTPUT DEVICE OBSERVED COMMAND [NEEDS]
#   MODE     the device's behaviour from this case on ("-": as it stands, the previous case's
#            log goes on), set in band by an exchange before the case: "[replug] [@PORT] MODE",
#            on COM2 unless a port is named, after plugging the port's USB device back in
#   EXIT     morva's exit code (or the guest tool's, which passes morva's on)
#   OUTPUT   morva's standard output as a printf format, "-": not compared
#   DEVICE   what the device received, commands escaped and joined by "|"; "-": not compared
#   OBSERVED extended regular expressions, joined by ";", each matching one line that the guest
#            observed (guest tool lines, "brk +N": BREAKs the UART counted, "ms N": the time)
#   NEEDS    a key of "pending": a row for behaviour that is not in yet, skipped visibly
declare -A pending=()
names=() modes=() exits=() outputs=() devices=() observed=() commands=() needs=()
row() {
    names+=("$1") modes+=("$2") exits+=("$3") outputs+=("$4") devices+=("$5")
    observed+=("$6") commands+=("$7") needs+=("${8:-}")
}

id="TARVEX-7310 V2.10"
id_hex=$(printf '%s' "$id" | od -An -tx1 -v | tr a-f A-F | tr -s ' \n' ' ')
scripts/make-sample-firmware.sh "$work/fw.mot" 48 16 >/dev/null
fw=$(sed 's/$/\\r/' "$work/fw.mot" | paste -sd'|')
total=$(wc -l <"$work/fw.mot")
progress() { for ((i = 1; i <= $2; i++)); do printf '\\rUPDT %s : %d / %d' "$1" "$i" "$total"; done; }
nobody="guest_tool user 65534"
stop="guest_tool pause"

row utid normal 0 "verbose level:1\nTX(5) : 55 54 49 44 0D \nRX(17) :$id_hex\n$id\r\n" \
    'UTID\r' '' "morva -v -c 2 UTID"
row lines-off normal 0 "$id\r\n" 'UTID\r' '^dtr=0 rts=0$' \
    "$stop receive /dev/ttyS1 lines -- morva -c 2 UTID"
row break-waiting break-reply 101 "Cannot receive reply string\n" 'UTID\r' '^brk \+1$' \
    "morva -c 2 UTID"
row after-break keep 0 "$id\r\n" 'UTID\r' '^brk \+0$' "morva -c 2 UTID"
row break-pending "break-later 1500" 101 "Cannot send command\n" '' '^break counted$;^brk \+1$' \
    "$stop counters /dev/ttyS1 break -- morva -c 2 UTID"
row silent silent 104 "Cannot receive reply string\n" 'UTID\r' '^ms (19|2[0-9]|3[0-9])[0-9][0-9]$' \
    "morva -c 2 UTID"
row no-device - 3 "Cannot open COM5\n" - '' "morva -c 5 UTID"
# COM3 is ttyS2, a placeholder without a UART: refused before its lock file or the open.
row no-uart - 3 "Cannot open COM3\n" - '^no lock file$' \
    "morva -c 3 UTID; rc=\$?; [ -e /run/lock/morva-tty-4-66.lock ] || echo no lock file >&2; exit \$rc"
row update normal 0 "$(progress Test "$total") ... test succeeded\n$(progress Flash "$total") ... Update succeeded\n" \
    "UPDT Test\\r|$fw|UPDT Flash\\r|$fw" '' "morva -c 2 UPDT -w /fw.mot"
row update-stops "stop-after 2" 104 "$(progress Test 3)Cannot receive reply byte\n ... test failed\n" \
    "UPDT Test\\r|$(echo "$fw" | cut -d'|' -f1-3)" '' "morva -c 2 UPDT -w /fw.mot"
# Without MORVA_PORTS, the default map: the FT232 (ttyUSB0) is COM33, the gadget (ttyACM0)
# COM65. The placeholders ttyS2 to ttyS31 get no lock file: only ttyS1 has one.
row hwsc normal 0 "COM2\nCOM33\nCOM65\n\n" 'UTID\r' '^ttyS lock files 1$' \
    "morva HWSC; rc=\$?; echo ttyS lock files \$(ls /run/lock | grep -c '^morva-tty-4-') >&2; exit \$rc"
row console-after-hwsc - 0 - - '' "$nobody stty -F /dev/ttyS0 >/dev/null"
row console-kept normal 0 - 'UTID\r' '^console kept$' \
    "morva HWSC >/dev/null; [ \"\$(stty -F /dev/ttyS0 -g)\" = \"\$(cat /tmp/console)\" ] && echo console kept >&2"
second="morva -c 2 UTID >/dev/null; echo second exit \$? >&2; guest_tool lines /dev/ttyS1"
row second-morva normal 0 "$id\r\n" 'UTID\r' '^second exit 3$' \
    "$stop receive /dev/ttyS1 run '$second' -- morva -c 2 UTID"
row second-keeps-lines normal 0 "$id\r\n" 'UTID\r' '^second exit 3$;^dtr=0 rts=0$' \
    "$stop receive /dev/ttyS1 run '$second' -- morva -c 2 UTID"
row mark-other-user normal 0 "$id\r\n" 'UTID\r' '^busy$;^dtr=0 rts=0$' \
    "$stop receive /dev/ttyS1 run '$nobody stty -F /dev/ttyS1 2>&1 | grep -o busy >&2; guest_tool lines /dev/ttyS1' -- morva -c 2 UTID"
row foreign-mark normal 3 "Cannot open COM2\n" '' '^run exit 3$;^still marked$' \
    "guest_tool hold /dev/ttyS1 'morva -c 2 UTID'"
row update-hold normal 0 "$(progress Test "$total") ... test succeeded\n" "UPDT Test\\r|$fw" \
    '^run exit 3$' "$stop output /dev/ttyS1 run 'morva -c 2 UTID >/dev/null' -- morva -c 2 UPDT /fw.mot"
row killed silent-once 137 "" 'UTID\r|UTID\r' '' "$stop receive /dev/ttyS1 kill -- morva -c 2 UTID"
row reopen-after-kill - 0 "$id\r\n" - '' "$nobody morva -c 2 UTID"

# USB serial: COM3 is the FT232 (ftdi_sio), COM4 the ACM gadget (cdc_acm); "usb pull|plug
# ftdi|acm" unplugs or replugs one and waits until its tty is gone or back.
usb="MORVA_PORTS=/ports"
# usb_rows KIND PORT TTY: the rows that both USB paths share, cable pulls included.
usb_rows() {
    local kind=$1 port=$2 tty=$3
    local morva="$usb morva -c $port"
    row "$kind-utid" "@$port normal" 0 "verbose level:1\nTX(5) : 55 54 49 44 0D \nRX(17) :$id_hex\n$id\r\n" \
        'UTID\r' '' "$usb morva -v -c $port UTID"
    row "$kind-update" "@$port normal" 0 "$(progress Test "$total") ... test succeeded\n$(progress Flash "$total") ... Update succeeded\n" \
        "UPDT Test\\r|$fw|UPDT Flash\\r|$fw" '' "$morva UPDT -w /fw.mot"
    row "$kind-pull-reply" "@$port pull-reply" 101 "Cannot receive reply string\n" 'UTID\r|UTID\r' '' \
        "$morva UTID"
    row "$kind-absent" - 3 "Cannot open COM$port\n" - '' "wait-gone $tty && $morva UTID"
    row "$kind-back" - 0 "$id\r\n" - '' "usb plug $kind && $morva UTID"
    row "$kind-pull-update" "@$port pull-after 2" 101 "$(progress Test 3)Cannot receive reply byte\n ... test failed\n" \
        "UPDT Test\\r|$(echo "$fw" | cut -d'|' -f1-3)" '' "$morva UPDT -w /fw.mot"
    row "$kind-pull-between" "replug @$port normal" 3 "$(progress Test 1) ... test failed\n" 'UPDT Test\r' \
        '^run exit 0$' "$usb $stop output $tty run 'usb pull $kind' -- morva -c $port UPDT /fw.mot"
}
usb_rows ftdi 3 /dev/ttyUSB0
row ftdi-pull-at-read "replug @3 normal" 102 "Cannot receive reply byte\n ... test failed\n" 'UPDT Test\r' \
    '^run exit 0$' "$usb $stop read /dev/ttyUSB0 run 'usb pull ftdi' -- morva -c 3 UPDT /fw.mot"
row ftdi-lines-off "replug @3 normal" 0 "$id\r\n" 'UTID\r' '^dtr=0 rts=0$' \
    "$usb $stop receive /dev/ttyUSB0 modem -- morva -c 3 UTID"
# The FT232's socket is not in telnet mode, which would swallow a byte 0xFF.
row ftdi-byte-ff "@3 normal" 0 "Command Error\n" 'E\xFF\r' '' "$usb morva -c 3 \"\$(printf 'E\\377')\""
row ftdi-silent "@3 silent" 104 "Cannot receive reply string\n" 'UTID\r' '' "$usb morva -c 3 UTID"
row ftdi-update-hold "@3 normal" 0 "$(progress Test "$total") ... test succeeded\n" "UPDT Test\\r|$fw" \
    '^run exit 3$' "$usb $stop output /dev/ttyUSB0 run 'morva -c 3 UTID >/dev/null' -- morva -c 3 UPDT /fw.mot"
row ftdi-killed "@3 silent-once" 137 "" 'UTID\r|UTID\r' '' "$usb $stop receive /dev/ttyUSB0 kill -- morva -c 3 UTID"
row ftdi-reopen-after-kill - 0 "$id\r\n" - '' "$usb $nobody morva -c 3 UTID"
usb_rows acm 4 /dev/ttyACM0
row acm-pull-at-read "replug @4 normal" 102 "Cannot receive reply string\n" 'UTID\r' \
    '^run exit 0$' "$usb $stop read /dev/ttyACM0 run 'usb pull acm' -- morva -c 4 UTID"
row acm-break-waiting "replug @4 break-reply" 101 "Cannot receive reply string\n" 'UTID\r' '' "$usb morva -c 4 UTID"
row acm-after-break "@4 keep" 0 "$id\r\n" 'UTID\r' '' "$usb morva -c 4 UTID"

# The default map once more, last, since every later HWSC would reach the USB devices too. The
# guest has no udev: the by-id link is made as udev would make it.
row map-ftdi "@3 normal" 0 "$id\r\n" 'UTID\r' '' "morva -c 33 UTID"
row map-acm "@4 normal" 0 "$id\r\n" 'UTID\r' '' "morva -c 65 UTID"
by_id=/dev/serial/by-id/usb-QEMU_FT232-if00-port0
row map-link "@3 normal" 0 "$id\r\n" 'UTID\r' "^/p/com7 -> $by_id\$" \
    "mkdir -p /p ${by_id%/*} && ln -s ../../ttyUSB0 $by_id && morva-ports --link /p 7 /dev/ttyUSB0 >&2 && MORVA_PORTS=/p morva -c 7 UTID"
row map-ports - 0 - - \
    "^COM1 +/dev/ttyS0 +[a-z0-9]+ +- +- +- +console\$;^COM2 +/dev/ttyS1 ;^COM33 +/dev/ttyUSB0 +ftdi_sio +0403:6001 .* $by_id +-\$;^COM65 +/dev/ttyACM0 +cdc_acm +1d6b:0104 " \
    "morva-ports >&2"

# ---- The guest ----
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,run/lock,ports,modules}
cp /bin/busybox "$root/bin/busybox"
for applet in $(/bin/busybox --list); do
    [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
cp "${MORVA_UART_MORVA:-build/static/morva}" build/static/morva-ports \
    build/static/tests/uart/uart_guest_tool build/static/tests/uart/uart_device "$root/bin/"
mv "$root/bin/uart_guest_tool" "$root/bin/guest_tool"
cp "$work/fw.mot" "$root/fw.mot"
ln -s /dev/ttyS1 "$root/ports/com2"
ln -s /dev/ttyUSB0 "$root/ports/com3"
ln -s /dev/ttyACM0 "$root/ports/com4"
# The USB drivers, each after what it needs (modules.dep lists that in reverse load order).
for module in ftdi_sio xhci-pci dummy_hcd usb_f_acm cdc-acm; do
    line=$(grep -E "(^|/)$module\.ko:" "$modules/modules.dep") ||
        { echo "uart-vm: no module $module in $modules" >&2; exit 1; }
    tr ' ' '\n' <<<"${line#*:}" | grep . | tac
    echo "${line%%:*}"
done | awk '!seen[$0]++' | while read -r path; do
    cp "$modules/$path" "$root/modules/"
    basename "$path"
done >"$root/modules/order"
cat >"$root/bin/wait-for" <<'EOF'
#!/bin/sh
# wait-for <node>: until the node exists (10 s at most); then every user may open it.
i=0
while [ ! -e "$1" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
[ -e "$1" ] && chmod 666 "$1"
EOF
cat >"$root/bin/wait-gone" <<'EOF'
#!/bin/sh
# wait-gone <node>: until the node is gone (10 s at most).
i=0
while [ -e "$1" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
[ ! -e "$1" ]
EOF
cat >"$root/bin/usb" <<'EOF'
#!/bin/sh
# usb pull|plug ftdi|acm: the FT232's socket is closed or connected again by the device on the
# host (asked through COM2), the gadget unbound from or bound to its UDC.
tty=/dev/ttyUSB0
if [ "$2" = acm ]; then
    tty=/dev/ttyACM0
    udc=dummy_udc.0
    [ "$1" = pull ] && udc=
    echo "$udc" >/sys/kernel/config/usb_gadget/rig/UDC || exit 1
else
    MORVA_PORTS=/ports morva -c 2 RIG - "$1" 1 >/dev/null || exit 1
fi
if [ "$1" = pull ]; then wait-gone $tty; else wait-for $tty; fi
EOF
chmod +x "$root"/bin/{wait-for,wait-gone,usb}
cat >"$root/init" <<'EOF'
#!/bin/sh
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
chmod 1777 /tmp /run/lock
chmod 666 /dev/ttyS*
stty -F /dev/ttyS0 -g >/tmp/console 2>/dev/null
for module in $(cat /modules/order); do insmod /modules/$module || echo "@@ insmod $module failed"; done
mount -t configfs none /sys/kernel/config
gadget=/sys/kernel/config/usb_gadget/rig
mkdir -p $gadget/strings/0x409 $gadget/configs/c.1 $gadget/functions/acm.usb0
echo 0x1d6b >$gadget/idVendor
echo 0x0104 >$gadget/idProduct
echo rig >$gadget/strings/0x409/product
ln -s $gadget/functions/acm.usb0 $gadget/configs/c.1/
echo dummy_udc.0 >$gadget/UDC
wait-for /dev/ttyACM0 || echo "@@ no ttyACM0"
wait-for /dev/ttyUSB0 || echo "@@ no ttyUSB0"
uart_device /tmp/acm.log tty:/dev/ttyGS0:$gadget/UDC 2>/tmp/acm.err &
echo "@@ UP $(cut -d' ' -f1 /proc/uptime)"
brk() { sed -n 's/^1:.* brk:\([0-9]*\).*/\1/p' /proc/tty/driver/serial | grep . || echo 0; }
centis() { cut -d' ' -f1 /proc/uptime | tr -d .; }
run_case() {
    name=$1 mode=$2 port=2
    if [ "${mode%% *}" = replug ]; then
        mode=${mode#replug }
        case $mode in @3*) usb plug ftdi ;; @4*) usb plug acm ;; esac
    fi
    case $mode in @*) port=${mode%% *} port=${port#@} mode=${mode#* } ;; esac
    if [ "$mode" != - ] && ! MORVA_PORTS=/ports morva -c $port RIG "$name" $mode >/dev/null; then
        echo "@@ OBS $name device mode not set"
    fi
    b0=$(brk) t0=$(centis)
    sh -c "$3" >/tmp/out 2>/tmp/obs
    rc=$?
    t1=$(centis) b1=$(brk)
    echo "@@ EXIT $name $rc"
    xxd -p /tmp/out | sed "s/^/@@ OUT $name /"
    sed "s/^/@@ OBS $name /" /tmp/obs
    echo "@@ OBS $name brk +$((b1 - b0))"
    echo "@@ OBS $name ms $(((t1 - t0) * 10))"
}
. /cases.sh
sed 's/^/@@ DEV /' /tmp/acm.log /tmp/acm.err
echo "@@ DONE $(cut -d' ' -f1 /proc/uptime)"
poweroff -f
EOF
chmod +x "$root/init"
for i in "${!names[@]}"; do
    printf 'run_case %s %q %q\n' "${names[$i]}" "${modes[$i]}" "${commands[$i]}"
done >"$root/cases.sh"
# Root's files in the guest whoever builds it: morva there refuses links of other users.
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$work/initrd.gz"

# ---- The run ----
socket=$work/com2.sock
ftdi_socket=$work/ftdi.sock
boot_started=$(date +%s.%N)
timeout 300 qemu-system-x86_64 -accel tcg -M pc -m 256 -smp 1 -nographic -no-reboot \
    -monitor none -nic none -kernel "$kernel" -initrd "$work/initrd.gz" \
    -append "console=ttyS0,115200 quiet panic=-1 rdinit=/init 8250.nr_uarts=32" -serial stdio \
    -chardev "socket,id=com2,path=$socket,server=on,wait=off,telnet=on" -serial chardev:com2 \
    -device qemu-xhci,id=xhci \
    -chardev "socket,id=ftdi,path=$ftdi_socket,server=on,wait=off,telnet=off" \
    -device usb-serial,bus=xhci.0,chardev=ftdi,id=ftdi0 \
    </dev/null >"$work/console" 2>"$work/qemu.err" &
qemu_pid=$!
build/static/tests/uart/uart_device "$work/device.log" "telnet:$socket" "raw:$ftdi_socket" &
device_pid=$!
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
wait "$device_pid" || true
device_pid=
finished=$(date +%s.%N)

# A morva that opened the console during the scan may have left it without output processing,
# and morva's own writes to it end in a bare carriage return: split at both line ends.
tr '\r' '\n' <"$work/console" | grep -ao '@@ .*' >"$work/lines" || true
sed -n 's/^@@ DEV //p' "$work/lines" >>"$work/device.log"
if ! grep -q '^@@ DONE' "$work/lines"; then
    echo "uart-vm: the guest did not finish (QEMU status $qemu_status); console:" >&2
    tail -40 "$work/console" >&2
    cat "$work/qemu.err" >&2
    exit 1
fi

# ---- The verdicts ----
failed=0 skipped=0 log_name=
for i in "${!names[@]}"; do
    name=${names[$i]}
    [ "${modes[$i]}" = - ] || log_name=$name
    problems=()
    got_exit=$(sed -n "s/^@@ EXIT $name //p" "$work/lines")
    [ "$got_exit" = "${exits[$i]}" ] || problems+=("exit ${got_exit:-none}")
    if [ "${outputs[$i]}" != - ]; then
        got=$(sed -n "s/^@@ OUT $name //p" "$work/lines" | tr -d '\n')
        want=$(printf "${outputs[$i]}" | od -An -tx1 -v | tr -d ' \n')
        [ "$got" = "$want" ] ||
            problems+=("output $(printf '%b' "$(sed 's/../\\x&/g' <<<"$got")" | od -An -c | tr -s ' \n' ' ')")
    fi
    if [ "${devices[$i]}" != - ]; then
        got=$(sed -n "s/^$log_name rx //p" "$work/device.log" | paste -sd'|')
        [ "$got" = "${devices[$i]}" ] || problems+=("device received '$got'")
    fi
    obs=$(sed -n "s/^@@ OBS $name //p" "$work/lines")
    grep -q 'device mode not set' <<<"$obs" && problems+=("device mode not set")
    IFS=';' read -ra patterns <<<"${observed[$i]}"
    for pattern in "${patterns[@]}"; do
        grep -Eq "$pattern" <<<"$obs" || { problems+=("observed $(paste -sd, <<<"$obs")"); break; }
    done
    want="exit ${exits[$i]}${observed[$i]:+, ${observed[$i]}}"
    reason=${needs[$i]:+${pending[${needs[$i]}]:-}}
    if [ -n "$reason" ]; then
        printf 'SKIP %-19s %s (now it %s)\n' "$name" "$reason" \
            "$([ ${#problems[@]} -eq 0 ] && echo matches || echo "gets $(IFS=';'; echo "${problems[*]}")")"
        skipped=$((skipped + 1))
    elif [ ${#problems[@]} -eq 0 ]; then
        printf 'ok   %-19s want %s; got exit %s, %s\n' "$name" "$want" "$got_exit" \
            "$(paste -sd, <<<"$obs")"
    else
        printf 'FAIL %-19s want %s; got %s\n' "$name" "$want" "$(IFS=';'; echo "${problems[*]}")"
        failed=$((failed + 1))
    fi
done

guest_up=$(sed -n 's/^@@ UP //p' "$work/lines")
awk -v n=${#names[@]} -v f=$failed -v s=$skipped -v a="$started" -v b="$boot_started" \
    -v e="$finished" -v u="$guest_up" 'BEGIN {
        printf "uart-vm: %d cases, %d failed, %d skipped; guest %.1f s (init after %s s), total %.1f s\n",
            n, f, s, e - b, u, e - a }'
[ "$failed" -eq 0 ]
