#!/usr/bin/env bash
# Makes the DDS Security files of a capture rig with openssl: the rig's
# certificate authority (once), then for each machine a directory to copy to
# it, holding what kestrova-station --security DIR and a recorder's
# net:...,security=DIR read:
#   ca.pem           the rig's CA certificate (identities and documents)
#   cert.pem         the machine's certificate, signed by the CA
#   key.pem          the machine's private key (keep it on that machine)
#   governance.p7s   the rig's rules, signed by the CA: only authenticated
#                    participants, frames and announcements encrypted
#   permissions.p7s  what this machine may do, signed by the CA: a station
#                    publishes frames and announcements, a recorder reads them
#
# usage: scripts/rig-security.sh RIGDIR [--days N] (--station NAME | --recorder NAME | --both NAME)...
#
# RIGDIR keeps the CA's key (ca.key): keep it off the capture network. Run
# again with more machines to add them to the same rig. NAME is the
# certificate's common name, a name for the machine (letters, digits, . _ -).
set -euo pipefail

usage() {
  sed -n '/^# usage:/,/^# certificate/p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

[ $# -ge 1 ] || usage
rig=$1
shift
days=3650
machines=()
while [ $# -gt 0 ]; do
  case "$1" in
    --days) [ $# -ge 2 ] || usage; days=$2; shift 2 ;;
    --station|--recorder|--both)
      [ $# -ge 2 ] || usage
      if ! [[ "$2" =~ ^[A-Za-z0-9._-]{1,64}$ ]]; then
        echo "rig-security.sh: machine name '$2' must be 1 to 64 letters, digits, '.', '_' or '-'" >&2
        exit 2
      fi
      machines+=("${1#--}:$2"); shift 2 ;;
    *) usage ;;
  esac
done
[[ "$days" =~ ^[0-9]+$ ]] && [ "$days" -ge 1 ] || { echo "rig-security.sh: --days takes a whole number of 1 or more" >&2; exit 2; }
[ ${#machines[@]} -gt 0 ] || usage
command -v openssl >/dev/null || { echo "rig-security.sh: openssl is missing (apt-get install openssl)" >&2; exit 1; }

mkdir -p "$rig"
chmod 700 "$rig"
rig=$(cd "$rig" && pwd)
ca_key=$rig/ca.key
ca_cert=$rig/ca.pem
organisation="Kestrova rig"

# The CA: an EC P-256 key and a self-signed certificate, made once per rig.
if [ ! -f "$ca_key" ] || [ ! -f "$ca_cert" ]; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -sha256 \
    -keyout "$ca_key" -out "$ca_cert" -days "$days" \
    -subj "/O=$organisation/CN=Kestrova rig CA $(date -u +%Y%m%d%H%M%S)" 2>/dev/null
  chmod 600 "$ca_key"
  echo "made the rig's CA: $ca_cert (its key $ca_key stays here)"
fi

not_before=$(date -u +%Y-%m-%dT%H:%M:%S)
not_after=$(date -u -d "+$days days" +%Y-%m-%dT%H:%M:%S)

# Signs an XML document with the CA as S/MIME, as DDS Security reads it.
sign() {
  openssl smime -sign -in "$1" -text -out "$2" -signer "$ca_cert" -inkey "$ca_key"
}

# Every domain a rig may use; its topics all begin with "kestrova_".
cat > "$rig/governance.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<dds xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
     xsi:noNamespaceSchemaLocation="http://www.omg.org/spec/DDS-SECURITY/20170901/omg_shared_ca_governance.xsd">
  <domain_access_rules>
    <domain_rule>
      <domains><id_range><min>0</min><max>230</max></id_range></domains>
      <allow_unauthenticated_participants>false</allow_unauthenticated_participants>
      <enable_join_access_control>true</enable_join_access_control>
      <discovery_protection_kind>ENCRYPT</discovery_protection_kind>
      <liveliness_protection_kind>ENCRYPT</liveliness_protection_kind>
      <rtps_protection_kind>NONE</rtps_protection_kind>
      <topic_access_rules>
        <topic_rule>
          <topic_expression>kestrova_*</topic_expression>
          <enable_discovery_protection>true</enable_discovery_protection>
          <enable_liveliness_protection>true</enable_liveliness_protection>
          <enable_read_access_control>true</enable_read_access_control>
          <enable_write_access_control>true</enable_write_access_control>
          <metadata_protection_kind>ENCRYPT</metadata_protection_kind>
          <data_protection_kind>ENCRYPT</data_protection_kind>
        </topic_rule>
      </topic_access_rules>
    </domain_rule>
  </domain_access_rules>
</dds>
EOF
sign "$rig/governance.xml" "$rig/governance.p7s"

# The topics of a role: a station publishes frames (of every frame type
# version) and its announcement, and reads announcements to find a station
# of its own name; a recorder reads both.
topics() {
  local list=""
  for topic in "$@"; do list+="<topic>$topic</topic>"; done
  echo "<topics>$list</topics>"
}
rules_for() {
  case "$1" in
    station)
      echo "<publish>$(topics 'kestrova_depth_frames_*' kestrova_stations)</publish>"
      echo "<subscribe>$(topics kestrova_stations)</subscribe>" ;;
    recorder)
      echo "<subscribe>$(topics 'kestrova_depth_frames_*' kestrova_stations)</subscribe>" ;;
    both)
      echo "<publish>$(topics 'kestrova_depth_frames_*' kestrova_stations)</publish>"
      echo "<subscribe>$(topics 'kestrova_depth_frames_*' kestrova_stations)</subscribe>" ;;
  esac
}

for machine in "${machines[@]}"; do
  role=${machine%%:*}
  name=${machine#*:}
  out=$rig/$name
  mkdir -p "$out"
  chmod 700 "$out"
  subject="/O=$organisation/CN=$name"
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -sha256 \
    -keyout "$out/key.pem" -out "$out/cert.csr" -subj "$subject" 2>/dev/null
  openssl x509 -req -in "$out/cert.csr" -CA "$ca_cert" -CAkey "$ca_key" -CAcreateserial \
    -CAserial "$rig/ca.srl" -days "$days" -sha256 -out "$out/cert.pem" 2>/dev/null
  rm -f "$out/cert.csr"
  chmod 600 "$out/key.pem"
  cat > "$out/permissions.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<dds xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
     xsi:noNamespaceSchemaLocation="http://www.omg.org/spec/DDS-SECURITY/20170901/omg_shared_ca_permissions.xsd">
  <permissions>
    <grant name="$name">
      <subject_name>CN=$name,O=$organisation</subject_name>
      <validity><not_before>$not_before</not_before><not_after>$not_after</not_after></validity>
      <allow_rule>
        <domains><id_range><min>0</min><max>230</max></id_range></domains>
        $(rules_for "$role")
      </allow_rule>
      <default>DENY</default>
    </grant>
  </permissions>
</dds>
EOF
  sign "$out/permissions.xml" "$out/permissions.p7s"
  cp "$ca_cert" "$out/ca.pem"
  cp "$rig/governance.p7s" "$out/governance.p7s"
  echo "made $out for $role '$name': copy it to that machine"
done
