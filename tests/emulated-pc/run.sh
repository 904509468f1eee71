#!/usr/bin/env bash
# Boots an emulated PC (QEMU, software emulation) with Debian's own kernel and
# its parport, parport_pc and ppdev drivers, a parallel port at 0x378 (and, on
# a second machine, at 0x278 only), and runs the real programs in it: every
# word that reaches the port is logged by QEMU from outside the guest and
# checked against the frames each case must send.
#   run.sh CACHE_DIR SENDER SCRIPTED_PANEL CHECKER FTDI_GADGET SCPI_SERVER USBTMC_METER SWEEP
# The kernel and the initramfs are kept in CACHE_DIR; the kernel is fetched
# with apt-get once. The verdict of every case goes to CACHE_DIR/report.txt;
# ZOVREL_SHOW_CONSOLE=1 prints the guests' consoles too; ZOVREL_MEASURE=1
# adds the sender's times through the emulated adapter and port to the report. Nothing here is
# skipped in CI: what is missing fails.
set -euo pipefail
cache=$1
sender=$2
panel=$3
checker=$4
gadget=$5
scpi=$6
meter=$7
sweep=$8
# The drivers the cases load, as the kernel package lays them out.
modules=(drivers/parport/parport drivers/parport/parport_pc drivers/char/ppdev fs/configfs/configfs
    drivers/usb/common/usb-common drivers/usb/core/usbcore drivers/usb/gadget/udc/udc-core
    drivers/usb/gadget/libcomposite drivers/usb/gadget/function/usb_f_fs
    drivers/usb/gadget/udc/dummy_hcd drivers/usb/serial/usbserial drivers/usb/serial/ftdi_sio
    drivers/usb/class/usbtmc)
here=$(cd "$(dirname "$0")" && pwd)

need() {
    echo "emulated PC: $*" >&2
    if [[ "${CI:-}" == true ]]; then exit 1; fi
    echo "skipped: $* (scripts/install-deps test installs what it needs)"
    exit 77
}
for tool in qemu-system-x86_64 cpio xz dpkg-deb apt-get /usr/sbin/rpcbind /usr/bin/lxi; do
    command -v "$tool" >/dev/null || need "$tool is missing"
done
[[ $(ldd /bin/busybox 2>&1 || true) == *"not a dynamic"* ]] || need "a static busybox (busybox-static) is missing"

mkdir -p "$cache"
kernel=$cache/vmlinux

# The kernel that linux-image-amd64 depends on, by package and version: the
# modules must come from the very kernel that boots. Its bzImage's XZ payload
# is decompressed once into the plain ELF that QEMU boots directly.
wanted_kernel() {
    local package version
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
    [[ -n $package ]] || return 1
    version=$(apt-cache policy "$package" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    echo "$package $version"
}
wanted=$(wanted_kernel) || { apt-get update -qq || true; wanted=$(wanted_kernel) || true; }
cached=$(cat "$cache/kernel-version" 2>/dev/null || true)
damaged=
if [[ -s $kernel && $(head -c 4 "$kernel" | od -An -c | tr -d ' ') != 177ELF ]]; then
    damaged="$kernel is not an ELF image"
fi
for module in "${modules[@]}"; do
    file=$cache/modules/$(basename "$module").ko
    [[ -z $damaged && -s $kernel && $(head -c 4 "$file" 2>/dev/null | od -An -c | tr -d ' ') != 177ELF ]] &&
        damaged="$file is missing or not a kernel module"
done
if [[ -n $damaged ]]; then
    echo "emulated PC: the cached kernel is damaged ($damaged); fetching it again" >&2
fi
if [[ -n $damaged || ! -s $kernel || ( -n $wanted && $wanted != "$cached" ) ]]; then
    [[ -n $wanted ]] || need "cannot tell which kernel linux-image-amd64 depends on (apt-cache)"
    package=${wanted%% *}
    rm -rf "$cache/modules" "$kernel" "$cache/kernel-version" "$cache/initramfs.cpio"
    fetch=$(mktemp -d)
    (cd "$fetch" && apt-get download "$package" >/dev/null 2>&1) || need "apt-get download $package failed"
    dpkg-deb -x "$fetch"/*.deb "$fetch/root"
    mkdir -p "$cache/modules"
    for module in "${modules[@]}"; do
        cp "$fetch"/root/lib/modules/*/kernel/$module.ko "$cache/modules/"
    done
    image=$(ls "$fetch"/root/boot/vmlinuz-*)
    offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$image" | head -n 1 | cut -d: -f1)
    [[ -n $offset ]] || need "no XZ payload in $image"
    tail -c +$((offset + 1)) "$image" | xz -dc --single-stream >"$kernel.new" 2>/dev/null || true
    [[ $(head -c 4 "$kernel.new" | od -An -c | tr -d ' ') == 177ELF ]] || need "the kernel did not decompress to an ELF image"
    mv "$kernel.new" "$kernel"
    echo "$wanted" >"$cache/kernel-version"
    rm -rf "$fetch"
fi

# Debian's kernel does not build the GPIO simulator: build it here as a module,
# from the same version's source and headers, once per kernel version.
version=$(cut -d' ' -f2 "$cache/kernel-version")
abi=${wanted%% *}
abi=${abi#linux-image-}
if [[ ! -s $cache/modules/gpio-sim.ko || $(cat "$cache/gpio-sim-version" 2>/dev/null) != "$version" ]]; then
    headers=/usr/src/linux-headers-$abi
    [[ -d $headers ]] || need "the kernel headers linux-headers-$abi are not installed"
    command -v make >/dev/null || need "make is missing"
    fetch=$(mktemp -d)
    (cd "$fetch" && apt-get download "linux-source-6.1=$version" >/dev/null 2>&1) ||
        need "apt-get download linux-source-6.1=$version failed"
    dpkg-deb --fsys-tarfile "$fetch"/linux-source-*.deb | tar -x -C "$fetch" --wildcards './usr/src/linux-source-*.tar.xz'
    tar -xJf "$fetch"/usr/src/linux-source-*.tar.xz -C "$fetch" --wildcards \
        '*/drivers/gpio/gpio-sim.c' '*/drivers/gpio/gpiolib.h' '*/kernel/irq/irq_sim.c'
    mkdir "$fetch/module"
    cp "$fetch"/linux-source-*/drivers/gpio/gpio-sim.c "$fetch/module/gpio-sim-main.c"
    cp "$fetch"/linux-source-*/drivers/gpio/gpiolib.h "$fetch"/linux-source-*/kernel/irq/irq_sim.c "$fetch/module/"
    # irq_to_desc is not exported to modules; generic_handle_irq does the same.
    sed -i 's/handle_simple_irq(irq_to_desc(irqnum))/generic_handle_irq(irqnum)/' "$fetch/module/irq_sim.c"
    grep -q 'generic_handle_irq(irqnum)' "$fetch/module/irq_sim.c" || need "irq_sim.c changed: cannot build the GPIO simulator"
    printf 'obj-m += gpio-sim.o\ngpio-sim-y := gpio-sim-main.o irq_sim.o\n' >"$fetch/module/Kbuild"
    make -C "$headers" M="$fetch/module" modules >"$fetch/build.log" 2>&1 ||
        { tail -n 20 "$fetch/build.log" >&2; need "building the GPIO simulator failed"; }
    cp "$fetch/module/gpio-sim.ko" "$cache/modules/"
    echo "$version" >"$cache/gpio-sim-version"
    rm -rf "$fetch"
fi

# The initramfs: busybox, the drivers, the programs with every library they
# load (and Qt's offscreen platform with a font for the panel), the cases.
initramfs=$cache/initramfs.cpio
plugin=$(ls /usr/lib/*/qt6/plugins/platforms/libqoffscreen.so 2>/dev/null | head -n 1)
[[ -n $plugin ]] || need "Qt's offscreen platform plugin is missing (qt6-qpa-plugins)"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
[[ -f $font && -d /etc/fonts ]] || need "no font for the panel (fonts-dejavu-core)"
inputs=("$sender" "$panel" "$gadget" "$scpi" "$meter" "$sweep" "$here/init" "$here/cases" "$0" "$cache/modules/gpio-sim.ko")
stale=no
[[ -s $initramfs ]] || stale=yes
for input in "${inputs[@]}"; do [[ $input -nt $initramfs ]] && stale=yes; done
if [[ $stale == yes ]]; then
    root=$(mktemp -d)
    chmod 755 "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,zovrel,modules}
    chmod 1777 "$root/tmp"
    cp /bin/busybox "$root/bin/"
    ln -s busybox "$root/bin/sh"
    cp "$here/init" "$root/init"
    cp "$here/cases" "$root/zovrel/"
    cp "$cache"/modules/*.ko "$root/modules/"
    cp "$sender" "$root/zovrel/zovrel-send"
    cp "$panel" "$root/zovrel/scripted-panel"
    cp "$gadget" "$root/zovrel/ftdi-gadget"
    cp "$scpi" "$root/zovrel/zovrel-scpi"
    cp "$meter" "$root/zovrel/usbtmc-meter"
    cp "$sweep" "$root/zovrel/zovrel-sweep"
    # VXI-11 in the guest: the portmapper, its transports, and lxi as the client.
    cp /usr/sbin/rpcbind /usr/bin/lxi "$root/zovrel/"
    cp /etc/netconfig /etc/services /etc/protocols "$root/etc/"
    for binary in "$sender" "$panel" "$scpi" "$sweep" "$plugin" /usr/sbin/rpcbind /usr/bin/lxi; do
        for library in $(ldd "$binary" | grep -o '/[^ ]*'); do
            mkdir -p "$root$(dirname "$library")"
            cp -L "$library" "$root$library"
        done
    done
    mkdir -p "$root$(dirname "$plugin")" "$root$(dirname "$font")" "$root/usr/share/fontconfig"
    cp "$plugin" "$root$plugin"
    cp "$font" "$root$font"
    cp -rL /etc/fonts "$root/etc/"
    printf 'root:x:0:0:root:/tmp:/bin/sh\nuser:x:1000:1000:user:/tmp:/bin/sh\n_rpc:x:102:65534::/run/rpcbind:/bin/sh\n' >"$root/etc/passwd"
    printf 'root:x:0:\nlp:x:7:\nplugdev:x:46:user\nuser:x:1000:\n' >"$root/etc/group"
    (cd "$root" && find . | cpio -o -H newc --quiet) >"$initramfs.new"
    mv "$initramfs.new" "$initramfs"
    rm -rf "$root"
fi

# Two machines: a, with the port at 0x378; b, with its only port at 0x278.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
boot() {
    local name=$1 iobase=$2 irq=$3 status=0
    timeout 150 qemu-system-x86_64 -accel tcg -m 512 -nodefaults -no-reboot -display none \
        -kernel "$kernel" -initrd "$initramfs" \
        -append "console=ttyS0 panic=-1 quiet zovrel.machine=$name zovrel.measure=${ZOVREL_MEASURE:-0}" \
        -serial "file:$work/console-$name.log" \
        -chardev null,id=lpt0 -device "isa-parallel,chardev=lpt0,iobase=$iobase,irq=$irq" \
        -trace enable=parallel_ioport_write -D "$work/trace-$name.log" 2>"$work/qemu-$name.err" || status=$?
    echo "$status" >"$work/qemu-$name.status"
}
boot a 0x378 7 &
boot b 0x278 5 &
wait
status=0
"$checker" "$here/cases" "$work/console-a.log" "$work/trace-a.log" \
    "$work/console-b.log" "$work/trace-b.log" >"$cache/report.txt" || status=$?
grep -h 'zovrel-pc: measure' "$work"/console-*.log | sed 's/^zovrel-pc: //' >>"$cache/report.txt" || true
cat "$cache/report.txt"
# A machine that did not finish is told once: QEMU's own status (124: it ran
# out of time), what QEMU said, and the last lines of the guest's console.
for name in a b; do
    if ! grep -q 'zovrel-pc: done' "$work/console-$name.log" 2>/dev/null || [[ -n "${ZOVREL_SHOW_CONSOLE:-}" ]]; then
        echo "--- machine $name: QEMU ended with status $(cat "$work/qemu-$name.status")$(
            [[ $(cat "$work/qemu-$name.status") == 124 ]] && echo ' (killed after 150 s)')"
        [[ -s "$work/qemu-$name.err" ]] && sed 's/^/QEMU: /' "$work/qemu-$name.err" | tail -n 5
        echo "--- the last lines of its console:"
        tail -n 25 "$work/console-$name.log" 2>/dev/null || echo "(no console output)"
    fi
done
exit $status
