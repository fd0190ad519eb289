#!/usr/bin/env bash
# Decodes hand-built input frames and output datagrams with the Wireshark dissector (tshark) and
# checks every printed field against the values the datagrams were built from.
# Usage: dissector_test.sh DISSECTOR.lua [BCST-FEED-EXECUTABLE [BCST-DUMP-EXECUTABLE]]
set -uo pipefail

LUA=$1
FEED=${2:-}
DUMP=${3:-}
for tool in tshark text2pcap; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (scripts/test installs tshark)"
        exit 77
    fi
done

. "$(dirname "$0")/check_lib.sh"
checks=0

expect_eq() { # what expected actual
    checks=$((checks + 1))
    if [ "$2" != "$3" ]; then
        fail "$1: expected [$2], got [$3]"
    fi
}

# ---- datagram builder: a byte array, written field by field at explicit offsets ----------------
declare -a BYTES
new_datagram() { # size
    BYTES=()
    local i
    for ((i = 0; i < $1; i++)); do BYTES[i]=0; done
}
put_be() { # offset width value: two's complement, most significant byte first
    local off=$1 width=$2 value=$3 i
    for ((i = width - 1; i >= 0; i--)); do
        BYTES[off + i]=$((value & 0xFF))
        value=$((value >> 8))
    done
}
put_le() { # offset width value: least significant byte first
    local off=$1 width=$2 value=$3 i
    for ((i = 0; i < width; i++)); do
        BYTES[off + i]=$((value & 0xFF))
        value=$((value >> 8))
    done
}
put_char() { # offset character
    printf -v 'BYTES[$1]' '%d' "'$2"
}
# Appends the datagram to the batch as a hex dump (each packet restarts at offset 0).
add_datagram() {
    local n=${#BYTES[@]} i j line hex
    for ((i = 0; i < n; i += 16)); do
        printf -v line '%06x' "$i"
        for ((j = i; j < i + 16 && j < n; j++)); do
            printf -v hex ' %02x' "${BYTES[j]}"
            line+=$hex
        done
        echo "$line"
    done >>"$WORK/batch.txt"
}
# Wraps the datagrams of the batch into a capture, one IPv4/UDP packet each, and starts a new batch.
write_pcap() { # file srcport dstport
    text2pcap -q -4 127.0.0.1,239.60.0.1 -u "$2,$3" "$WORK/batch.txt" "$1" >/dev/null 2>&1 || fail "text2pcap $1"
    rm -f "$WORK/batch.txt"
}
# Prints the requested fields of every packet, ';' between fields, ',' between repeated values.
fields() { # pcap extra-tshark-options... -- field...
    local pcap=$1
    shift
    local opts=() args=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        opts+=("$1")
        shift
    done
    shift
    for f in "$@"; do args+=(-e "$f"); done
    tshark -n -r "$pcap" -X "lua_script:$LUA" "${opts[@]}" -T fields -E separator=';' -E aggregator=',' \
        "${args[@]}" 2>>"$WORK/tshark.err"
}

# ---- output datagrams -----------------------------------------------------------------------
# Record field offsets within a record slot, from the two old-format record layouts.
declare -A CM=([size]=212 [token]=0 [tokenWidth]=2 [bookType]=2 [tradingStatus]=4 [volumeTradedToday]=6
    [lastTradedPrice]=10 [netChangeIndicator]=14 [netPriceChangeFromClosingPrice]=16 [lastTradeQuantity]=20
    [lastTradeTime]=24 [averageTradePrice]=28 [auctionNumber]=32 [auctionStatus]=34 [initiatorType]=36
    [initiatorPrice]=38 [initiatorQuantity]=42 [auctionPrice]=46 [auctionQuantity]=50 [levels]=54
    [totalBuyFlag]=174 [totalSellFlag]=176 [totalBuyQuantity]=178 [totalSellQuantity]=186 [closingPrice]=196
    [openPrice]=200 [highPrice]=204 [lowPrice]=208)
declare -A FO=([size]=214 [token]=0 [tokenWidth]=4 [bookType]=4 [tradingStatus]=6 [volumeTradedToday]=8
    [lastTradedPrice]=12 [netChangeIndicator]=16 [netPriceChangeFromClosingPrice]=18 [lastTradeQuantity]=22
    [lastTradeTime]=26 [averageTradePrice]=30 [auctionNumber]=34 [auctionStatus]=36 [initiatorType]=38
    [initiatorPrice]=40 [initiatorQuantity]=44 [auctionPrice]=48 [auctionQuantity]=52 [levels]=56
    [totalBuyFlag]=176 [totalSellFlag]=178 [totalBuyQuantity]=180 [totalSellQuantity]=188 [closingPrice]=198
    [openPrice]=202 [highPrice]=206 [lowPrice]=210)
WIDTH2="bookType tradingStatus auctionNumber auctionStatus initiatorType totalBuyFlag totalSellFlag"
WIDTH4="volumeTradedToday lastTradedPrice netPriceChangeFromClosingPrice lastTradeQuantity lastTradeTime"
WIDTH4+=" averageTradePrice initiatorPrice initiatorQuantity auctionPrice auctionQuantity closingPrice openPrice"
WIDTH4+=" highPrice lowPrice"
WIDTH8="totalBuyQuantity totalSellQuantity"
RECORD_FIELDS="token $WIDTH2 $WIDTH4 netChangeIndicator $WIDTH8"
LEVEL_FIELDS="quantity price numberOfOrders buySellFlag"

# Distinct value of every field in every slot of every case, negative ones included, so that a field
# read at the wrong offset or with the wrong width or sign shows.
declare -A VALUE
value_for() { # case slot field [level]; the value is left in REPLY
    local c=$1 s=$2 name=$3 k=${4:-0} sign=1
    [ "$s" -eq 1 ] && sign=-1
    case $name in
        token) if [ "$LAYOUT" = CM ]; then REPLY=$((sign * (4660 + c))); else REPLY=$((sign * (70000 + c))); fi ;;
        netChangeIndicator) if [ "$s" -eq 0 ]; then REPLY="+"; else REPLY="-"; fi ;;
        totalBuyQuantity) if [ "$s" -eq 0 ]; then REPLY=72623859790382856; else REPLY=-2; fi ;; # 01 02 .. 08
        totalSellQuantity) REPLY=$((sign * (9000000000 + c))) ;;
        quantity) REPLY=$((sign * (100000 * (s + 1) + 100 * k + c))) ;;
        price) REPLY=$((200000 + 1000 * k + 10 * s + c)) ;;
        numberOfOrders) REPLY=$((sign * (k + 20 * s + c))) ;;
        buySellFlag) REPLY=$(((k + s) % 4)) ;;
        *)
            local i=0 f
            for f in $WIDTH2; do
                i=$((i + 1))
                [ "$f" = "$name" ] && { REPLY=$((sign * (300 + 10 * i + c))); return; }
            done
            for f in $WIDTH4; do
                i=$((i + 1))
                [ "$f" = "$name" ] && { REPLY=$((sign * (1000000 * i + 1000 * s + c))); return; }
            done
            ;;
    esac
}

build_output() { # case segment-code layout records
    local c=$1 code=$2 records=$4 s f k
    LAYOUT=$3
    local -n L=$3
    new_datagram 512
    BYTES[0]=$code
    put_be 2 2 1
    local m=6
    put_be $((m + 18)) 2 7208
    if [ "$LAYOUT" = CM ]; then put_be $((m + 46)) 2 466; else put_be $((m + 46)) 2 470; fi
    put_be $((m + 48)) 2 "$records"
    VALUE=()
    for ((s = 0; s < records; s++)); do
        local r=$((m + 50 + s * L[size]))
        for f in $RECORD_FIELDS; do
            value_for "$c" "$s" "$f"
            local v=$REPLY
            VALUE[$s,$f]=$v
            case " $WIDTH2 " in *" $f "*) put_be $((r + L[$f])) 2 "$v" ;; esac
            case " $WIDTH4 " in *" $f "*) put_be $((r + L[$f])) 4 "$v" ;; esac
            case " $WIDTH8 " in *" $f "*) put_be $((r + L[$f])) 8 "$v" ;; esac
        done
        put_be $((r + L[token])) "${L[tokenWidth]}" "${VALUE[$s,token]}"
        put_char $((r + L[netChangeIndicator])) "${VALUE[$s,netChangeIndicator]}"
        for ((k = 1; k <= 10; k++)); do
            local lv=$((r + L[levels] + 12 * (k - 1)))
            for f in $LEVEL_FIELDS; do
                value_for "$c" "$s" "$f" "$k"
                VALUE[$s,$f,$k]=$REPLY
            done
            put_be "$lv" 4 "${VALUE[$s,quantity,$k]}"
            put_be $((lv + 4)) 4 "${VALUE[$s,price,$k]}"
            put_be $((lv + 8)) 2 "${VALUE[$s,numberOfOrders,$k]}"
            put_be $((lv + 10)) 2 "${VALUE[$s,buySellFlag,$k]}"
        done
    done
}

# What tshark must print for one field: the value of every slot, joined with ','.
expected_field() { # records field
    local records=$1 f=$2 s k out=()
    for ((s = 0; s < records; s++)); do
        if [[ " $LEVEL_FIELDS " == *" $f "* ]]; then
            for ((k = 1; k <= 10; k++)); do out+=("${VALUE[$s,$f,$k]}"); done
        else
            out+=("${VALUE[$s,$f]}")
        fi
    done
    local IFS=,
    echo "${out[*]}"
}

# All output datagrams go into one capture and through one tshark run; every packet prints the header
# fields, then every record field and every level field.
OUT_NAMES=(segment segmentName count transactionCode errorCode messageLength numberOfRecords)
for f in $RECORD_FIELDS; do OUT_NAMES+=("$f"); done
for f in $LEVEL_FIELDS; do OUT_NAMES+=("level.$f"); done
OUT_CASES=()
OUT_EXPECTED=()

add_output_case() { # case segment-code segment-name layout records
    local c=$1 code=$2 name=$3 layout=$4 records=$5
    build_output "$c" "$code" "$layout" "$records"
    add_datagram
    local length=466
    [ "$layout" = FO ] && length=470
    local expected=("$code" "$name" 1 7208 0 "$length" "$records") f
    for f in $RECORD_FIELDS $LEVEL_FIELDS; do expected+=("$(expected_field "$records" "$f")"); done
    local IFS=';'
    OUT_CASES+=("case $c ($name, $records records)")
    OUT_EXPECTED+=("${expected[*]}")
}

#               case code name layout records
add_output_case 1 4 CM CM 2
add_output_case 2 4 CM CM 1
add_output_case 3 2 FO FO 1
add_output_case 4 2 FO FO 2
add_output_case 5 6 CD FO 2
add_output_case 6 8 CO FO 1
# Segment code 0: the frame head only, no message, so every message field is absent.
new_datagram 512
put_be 2 2 1
add_datagram
OUT_CASES+=("segment code 0")
unknown=("0" "unknown" "1")
for ((i = 3; i < ${#OUT_NAMES[@]}; i++)); do unknown+=(""); done
OUT_EXPECTED+=("$(IFS=';' && echo "${unknown[*]}")")

write_pcap "$WORK/out.pcap" 6790 6790
mapfile -t OUT_LINES < <(fields "$WORK/out.pcap" -- "${OUT_NAMES[@]/#/bcstbridge.}")
expect_eq "decoded output datagrams" "${#OUT_CASES[@]}" "${#OUT_LINES[@]}"
for ((n = 0; n < ${#OUT_CASES[@]}; n++)); do
    IFS=';' read -r -a want <<<"${OUT_EXPECTED[n]}"
    IFS=';' read -r -a got <<<"${OUT_LINES[n]:-}"
    for ((i = 0; i < ${#OUT_NAMES[@]}; i++)); do
        expect_eq "${OUT_CASES[n]} ${OUT_NAMES[i]}" "${want[i]:-}" "${got[i]:-}"
    done
done

# ---- input frames: little-endian header, payload shown as bytes --------------------------------
IN_CASES=()
IN_EXPECTED=()
add_input_case() { # name type compressed-length record-count payload-bytes-present
    local name=$1 type=$2 clen=$3 count=$4 present=$5 i hex payload_hex=""
    new_datagram $((6 + present))
    put_le 0 2 "$type"
    put_le 2 2 "$clen"
    put_le 4 2 "$count"
    for ((i = 0; i < present; i++)); do BYTES[6 + i]=$(((i * 37 + 11) & 0xFF)); done
    add_datagram
    local shown=$((clen < present ? clen : present))
    for ((i = 0; i < shown; i++)); do
        printf -v hex '%02x' "${BYTES[6 + i]}"
        payload_hex+=$hex
    done
    IN_CASES+=("input $name")
    IN_EXPECTED+=("$type;$clen;$count;$shown;$payload_hex")
}
add_input_case "market by price" 10500 37 3 37
add_input_case "ticker" 10600 20 5 20
add_input_case "open/high/low, negative count" 10750 12 -2 12
add_input_case "unknown type, length past the datagram" 4321 900 1 16
write_pcap "$WORK/in.pcap" 40000 34330
mapfile -t IN_LINES < <(fields "$WORK/in.pcap" -- bcstbridge.in.messageType bcstbridge.in.compressedLength \
    bcstbridge.in.recordCount bcstbridge.in.payloadLength bcstbridge.in.payload | tr -d ':')
expect_eq "decoded input frames" "${#IN_CASES[@]}" "${#IN_LINES[@]}"
for ((n = 0; n < ${#IN_CASES[@]}; n++)); do
    expect_eq "${IN_CASES[n]}" "${IN_EXPECTED[n]}" "${IN_LINES[n]:-}"
done

# ---- port selection: preferences and Decode As ---------------------------------------------------
build_output 7 4 CM 1
add_datagram
write_pcap "$WORK/port.pcap" 5555 5555
expect_eq "unregistered port is not decoded" "" "$(fields "$WORK/port.pcap" -- bcstbridge.token)"
expect_eq "output port preference" "${VALUE[0,token]}" \
    "$(fields "$WORK/port.pcap" -o bcstbridge.output_port:5555 -- bcstbridge.token)"
expect_eq "Decode As" "${VALUE[0,token]}" \
    "$(fields "$WORK/port.pcap" -d udp.port==5555,bcstbridge -- bcstbridge.token)"
# The input port preference forces the input layout even for a datagram shaped like an output one.
expect_eq "input port preference" "4;256;0" \
    "$(fields "$WORK/port.pcap" -o bcstbridge.input_port:5555 -- bcstbridge.in.messageType \
        bcstbridge.in.compressedLength bcstbridge.in.recordCount)"

# ---- a capture written by the feed simulator -------------------------------------------------
if [ -n "$FEED" ]; then
    if "$FEED" --no-send --pcap-out "$WORK/feed.pcap" --frames 20 --seed 7 --quiet; then
        decoded=$(fields "$WORK/feed.pcap" -- frame.number bcstbridge.in.messageType bcstbridge.in.recordCount)
        packets=$(echo "$decoded" | grep -c .)
        checks=$((checks + 1))
        [ "$packets" -ge 21 ] || fail "feed capture holds $packets packets, expected at least 21"
        if [ -n "$DUMP" ]; then
            # Which frames the bridge takes, and as what, by its own intake rule (bcst-dump classifies
            # with it): every frame of the simulator's, each shown by the dissector as that type.
            taken=$("$DUMP" --pcap "$WORK/feed.pcap" --format input --json --quiet |
                sed -n 's/.*"kind":"\([a-z_]*\)","datagram":\([0-9]*\).*/\2 \1/p' | sort -n -u -k1,1 |
                awk '{ t = $2 == "mbp_in" ? 10500 : $2 == "ohl" ? 10750 : $2 == "ticker" ? 10600 : $2
                       print $1 + 1 ";" t }')
            expect_eq "feed frames as the bridge takes them" "$taken" "$(echo "$decoded" | cut -d';' -f1,2)"
        fi
        expect_eq "market-by-price frames in the feed capture" 20 "$(echo "$decoded" | grep -c '^[0-9]*;10500;')"
    else
        fail "bcst-feed could not write a capture"
    fi
fi

if [ -s "$WORK/tshark.err" ] && grep -qiE 'lua|error' "$WORK/tshark.err"; then
    fail "tshark reported: $(head -5 "$WORK/tshark.err")"
fi
finish dissector "$checks checks"
