# What python3-asn1crypto reads from a certificate, one "key<TAB>value" line per fact, for the
# certificate description tests to compare with. Usage: certificate_facts.py FILE (PEM or DER).
import hashlib
import sys

from asn1crypto import pem, x509


def emit(key, *values):
    print("\t".join([key] + [str(v) for v in values]))


def text(value):
    return "" if value is None else str(value)


data = open(sys.argv[1], "rb").read()
if pem.detect(data):
    _, _, data = pem.unarmor(data)
cert = x509.Certificate.load(data)
tbs = cert["tbs_certificate"]

emit("version", {"v1": 1, "v2": 2, "v3": 3}[tbs["version"].native])
emit("serial", tbs["serial_number"].native)
emit("serial_hex", tbs["serial_number"].contents.hex().upper())
emit("hash", hashlib.sha1(data).hexdigest().upper())
emit("size", len(data))
emit("subject_sha1", hashlib.sha1(tbs["subject"].dump()).hexdigest().upper())
emit("issuer_sha1", hashlib.sha1(tbs["issuer"].dump()).hexdigest().upper())
emit("not_before", tbs["validity"]["not_before"].native.strftime("%Y-%m-%d %H:%M:%S"))
emit("not_after", tbs["validity"]["not_after"].native.strftime("%Y-%m-%d %H:%M:%S"))
emit("key_algorithm", tbs["subject_public_key_info"]["algorithm"]["algorithm"].dotted)
emit("signature_algorithm", cert["signature_algorithm"]["algorithm"].dotted)
for rdn in tbs["subject"].chosen:
    attribute = rdn[0]
    emit("subject", attribute["type"].dotted, text(attribute["value"].native))
for rdn in tbs["issuer"].chosen:
    attribute = rdn[0]
    emit("issuer", attribute["type"].dotted, text(attribute["value"].native))

for extension in tbs["extensions"] or []:
    emit("extension", extension["extn_id"].dotted, 1 if extension["critical"].native else 0)

if cert.key_usage_value is not None:
    for name in sorted(cert.key_usage_value.native):
        emit("key_usage", name)
if cert.extended_key_usage_value is not None:
    for purpose in cert.extended_key_usage_value:
        emit("purpose", purpose.dotted)
if cert.basic_constraints_value is not None:
    bc = cert.basic_constraints_value
    emit("ca", 1 if bc["ca"].native else 0)
    if bc["path_len_constraint"].native is not None:
        emit("path_length", bc["path_len_constraint"].native)
if cert.key_identifier_value is not None:
    emit("subject_key_id", cert.key_identifier_value.native.hex().upper())
if cert.authority_key_identifier_value is not None:
    aki = cert.authority_key_identifier_value
    if aki["key_identifier"].native is not None:
        emit("authority_key_id", aki["key_identifier"].native.hex().upper())
    if aki["authority_cert_serial_number"].native is not None:
        emit("authority_serial", aki["authority_cert_serial_number"].native)
        emit("authority_serial_hex", aki["authority_cert_serial_number"].contents.hex().upper())
if cert.subject_alt_name_value is not None:
    for name in cert.subject_alt_name_value:
        if name.name == "other_name":
            value = name.chosen["value"]
            inner = value.parsed if hasattr(value, "parsed") else value
            raw = inner.native
            if isinstance(raw, bytes):
                raw = raw.decode("latin-1")
            emit("other_name", name.chosen["type_id"].dotted, raw)
        elif name.name == "rfc822_name":
            emit("email", name.native)
        elif name.name == "directory_name":
            emit("directory_name", name.chosen.human_friendly)
        else:
            emit("other_general_name", name.name)
if cert.certificate_policies_value is not None:
    for policy in cert.certificate_policies_value:
        cps, notice = "", ""
        for qualifier in policy["policy_qualifiers"] or []:
            if qualifier["policy_qualifier_id"].native == "certification_practice_statement":
                cps = qualifier["qualifier"].native
            elif qualifier["policy_qualifier_id"].native == "user_notice":
                notice = text(qualifier["qualifier"]["explicit_text"].native)
        emit("policy", policy["policy_identifier"].dotted, cps, notice)
if cert.crl_distribution_points_value is not None:
    for point in cert.crl_distribution_points_value:
        names = point["distribution_point"]
        if names.name == "full_name":
            for name in names.chosen:
                if name.name == "uniform_resource_identifier":
                    emit("crl", name.native)
if cert.authority_information_access_value is not None:
    for access in cert.authority_information_access_value:
        location = access["access_location"]
        if location.name == "uniform_resource_identifier":
            emit("access", access["access_method"].dotted, location.native)
