#!/usr/bin/env bash
# The shipped alerting rules: valid for promtool, and firing on series labelled as Prometheus stores
# them after scraping node_exporter's textfile collector (the host in `instance`, the bridge instance in
# `exported_instance`), with the summaries naming both.
# Usage: prometheus_rules_test.sh RULES_FILE
set -uo pipefail
RULES=$1

if ! command -v promtool >/dev/null; then
    echo "SKIP: promtool is not installed (Debian package prometheus; scripts/test installs it)"
    exit 77
fi
. "$(dirname "$0")/check_lib.sh"

promtool check rules "$RULES" >"$WORK/check.log" 2>&1 || fail "promtool check rules: $(cat "$WORK/check.log")"

cp "$RULES" "$WORK/rules.yml"
host='instance="bridge1:9100",job="node"'
cat >"$WORK/test.yml" <<TESTS
rule_files:
  - rules.yml
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - series: 'bcstbridge_up{$host,exported_instance="3",segment="CM",reason="not_running"}'
        values: '0x10'
      - series: 'bcstbridge_up{$host,exported_instance="4",segment="FO"}'
        values: '1x10'
      - series: 'bcstbridge_last_frame_timestamp_seconds{$host,exported_instance="4",segment="FO"}'
        values: '0x10'
      - series: 'bcstbridge_send_errors_total{$host,exported_instance="4",segment="FO"}'
        values: '0 0 0 7 7 7 7 7 7 7 7'
      - series: 'bcstbridge_kernel_drops_total{$host,exported_instance="4",segment="FO"}'
        values: '0x10'
      - series: 'node_textfile_mtime_seconds{$host,file="/var/lib/prometheus/node-exporter/bcstbridge.prom"}'
        values: '0x10'
      - series: 'bcstbridge_service_seconds_bucket{$host,exported_instance="4",segment="FO",le="0.001"}'
        values: '0+0x10'
      - series: 'bcstbridge_service_seconds_bucket{$host,exported_instance="4",segment="FO",le="0.1"}'
        values: '0+600x10'
      - series: 'bcstbridge_service_seconds_bucket{$host,exported_instance="4",segment="FO",le="+Inf"}'
        values: '0+600x10'
      # A pair: instance 5 published by both hosts, instance 6 by neither, instance 7 by one.
      - series: 'bcstbridge_active{$host,exported_instance="5",segment="CM"}'
        values: '1x10'
      - series: 'bcstbridge_active{instance="bridge2:9100",job="node",exported_instance="5",segment="CM"}'
        values: '1x10'
      - series: 'bcstbridge_active{$host,exported_instance="6",segment="CM"}'
        values: '0x10'
      - series: 'bcstbridge_active{instance="bridge2:9100",job="node",exported_instance="6",segment="CM"}'
        values: '0x10'
      - series: 'bcstbridge_active{$host,exported_instance="7",segment="CM"}'
        values: '1x10'
      - series: 'bcstbridge_active{instance="bridge2:9100",job="node",exported_instance="7",segment="CM"}'
        values: '0x10'
    alert_rule_test:
      - eval_time: 5m
        alertname: BcstBridgeSplitBrain
        exp_alerts:
          - exp_labels: {severity: critical, exported_instance: "5", segment: CM}
            exp_annotations:
              summary: "bcstbridge instance 5 (CM) is published by 2 hosts at once"
      - eval_time: 5m
        alertname: BcstBridgeNoPublisher
        exp_alerts:
          - exp_labels: {severity: critical, exported_instance: "6", segment: CM}
            exp_annotations:
              summary: "bcstbridge instance 6 (CM) is published by no host"
      - eval_time: 5m
        alertname: BcstBridgeDown
        exp_alerts:
          - exp_labels: {severity: critical, instance: "bridge1:9100", job: node, exported_instance: "3", segment: CM, reason: not_running}
            exp_annotations:
              summary: "bcstbridge instance 3 on bridge1:9100 is down (not_running)"
      - eval_time: 5m
        alertname: BcstBridgeSendErrors
        exp_alerts:
          - exp_labels: {severity: critical, instance: "bridge1:9100", job: node, exported_instance: "4", segment: FO}
            exp_annotations:
              summary: "bcstbridge instance 4 on bridge1:9100 failed to send 7 datagrams in 5 minutes"
      - eval_time: 10m
        alertname: BcstBridgeSendErrors
      - eval_time: 5m
        alertname: BcstBridgeKernelDrops
      - eval_time: 5m
        alertname: BcstBridgeNoFrames
        exp_alerts:
          - exp_labels: {severity: warning, instance: "bridge1:9100", job: node, exported_instance: "4", segment: FO}
            exp_annotations:
              summary: "bcstbridge instance 4 on bridge1:9100 has accepted nothing for over a minute"
      - eval_time: 5m
        alertname: BcstBridgeMetricsStale
        exp_alerts:
          - exp_labels: {severity: warning, instance: "bridge1:9100", job: node, file: /var/lib/prometheus/node-exporter/bcstbridge.prom}
            exp_annotations:
              summary: "bcstbridge metrics on bridge1:9100 are 5m 0s old"
      - eval_time: 10m
        alertname: BcstBridgeSlowService
        exp_alerts:
          - exp_labels: {severity: warning, instance: "bridge1:9100", exported_instance: "4"}
            exp_annotations:
              summary: "bcstbridge instance 4 on bridge1:9100 takes 99.01ms for one datagram at the 99th percentile"
TESTS
(cd "$WORK" && promtool test rules test.yml) >"$WORK/test.log" 2>&1 || fail "promtool test rules: $(cat "$WORK/test.log")"

finish "Prometheus rules" "$(grep -c 'alert:' "$RULES") alerts"
