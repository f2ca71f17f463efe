# bash completion for quillet-image and quillet-disk. Installed once under
# each name; the command name being completed picks the options.

_quillet_partitions() {
    # Partitions of whole disks: SATA and SCSI, NVMe and virtio.
    local devices
    devices=$(lsblk -rpno NAME,TYPE 2>/dev/null | awk '$2 == "part" && $1 ~ /^\/dev\/(sd|nvme|vd)/ {print $1}')
    [[ -n $devices ]] || devices=$(compgen -G '/dev/sd*[0-9]'; compgen -G '/dev/nvme*n*p[0-9]*'; compgen -G '/dev/vd*[0-9]')
    COMPREPLY=($(compgen -W "$devices" -- "$1"))
}

# The partition numbers of the image named on the command line, as sfdisk
# (and Linux) number them; 1 to 4 when no raw image with a table is named.
_quillet_image_partitions() {
    local word numbers=
    for word in "${COMP_WORDS[@]:1}"; do
        [[ $word != -* && -f $word ]] || continue
        numbers=$(sfdisk -d -- "$word" 2>/dev/null | sed -n 's/^.*[^0-9]\([0-9][0-9]*\) : start=.*/\1/p')
    done
    COMPREPLY=($(compgen -W "${numbers:-1 2 3 4}" -- "$1"))
}

_quillet() {
    local cur prev words cword split
    _init_completion -s 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        split=false
    }
    local common="--commands --dry-run --quiet --verbose --output --help --version"
    local options
    if [[ $1 == *quillet-image ]]; then
        options="--offset --partition --format --jobs --domain --all-domains --connect --copy-to --copy-format --overwrite $common"
    else
        options="--yes $common"
    fi
    case $prev in
        -c | --commands | --copy-to)
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
        -p | --partition)
            _quillet_image_partitions "$cur"
            return ;;
        -f | --format | --copy-format)
            COMPREPLY=($(compgen -W "raw qcow2 vmdk vhdx vdi" -- "$cur"))
            return ;;
        --output)
            COMPREPLY=($(compgen -W "human json" -- "$cur"))
            return ;;
        -d | --domain)
            # The shut-off domains of the connection named before, if any.
            local uri= i
            for ((i = 1; i < ${#COMP_WORDS[@]} - 1; i++)); do
                [[ ${COMP_WORDS[i]} == --connect ]] && uri=${COMP_WORDS[i + 1]}
            done
            COMPREPLY=($(compgen -W "$(virsh ${uri:+-c "$uri"} list --name --state-shutoff 2>/dev/null)" -- "$cur"))
            return ;;
        --connect)
            COMPREPLY=($(compgen -W "qemu:///system qemu:///session" -- "$cur"))
            return ;;
        -o | --offset | -j | --jobs)
            return ;;
    esac
    $split && return
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ $1 == *quillet-image ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    else
        _quillet_partitions "$cur"
    fi
}

complete -o filenames -F _quillet quillet-image quillet-disk
