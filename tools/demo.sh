#!/usr/bin/env bash
# The main job as a browser runs it: kelvane started on pipes, sign requests sent as frames, the
# certificate picked unattended (DORVIK_SELECT=first) from a demo NSS database, every signature
# checked with openssl. Everything lives under build/demo/ (its own HOME).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$(pwd)
demo=$top/build/demo
echo "kelvane: $(build/bin/kelvane --version)"
mkdir -p "$demo/docs" "$demo/home"
exec python3 - "$top" "$demo" <<'PY'
import base64, os, shutil, subprocess, sys
top, demo = sys.argv[1:]
sys.path.insert(0, os.path.join(top, "tests", "host"))
os.environ["DORVIK_BINARY_DIR"] = os.path.join(top, "build")
import hostkit

# The demo credential: made once with openssl, imported into the demo HOME's NSS database.
cred_root = os.path.join(demo, "credential")
if not os.path.exists(os.path.join(cred_root, "home", ".pki", "nssdb", "cert9.db")):
    shutil.rmtree(cred_root, ignore_errors=True)
    os.makedirs(cred_root)
    hostkit.Credential(cred_root, name="Demo Signer")
cred = hostkit.Credential.__new__(hostkit.Credential)
cred.home = os.path.join(cred_root, "home")
cred.cert = os.path.join(cred_root, "signer.pem")
print("demo HOME:", cred.home, "(NSS database sql:%s/.pki/nssdb, certificate 'Demo Signer')" % cred.home)

docs = os.path.join(demo, "docs")
text = os.path.join(docs, "contrato de prestação.txt")
with open(text, "w", encoding="utf-8") as f:
    f.write("Contrato de prestação de serviços.\nAssinado digitalmente.\n")
pdf = os.path.join(docs, "sample.pdf")
from test_host_e2e import make_pdf, pdf_signature_parts
with open(pdf, "wb") as f:
    f.write(make_pdf())
for name in os.listdir(docs):
    if name.endswith((".p7s", ".signed.pdf")):
        os.remove(os.path.join(docs, name))

if not hostkit.library_can_sign():
    print("NOT AVAILABLE YET: libdorvik cannot sign (no CMS SignedData builder in this build);"
          " the requests below show what the host answers meanwhile.")

# With a desktop (and no DORVIK_SELECT) the certificate is chosen in the library's dialog.
if (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")) and not os.environ.get("DORVIK_SELECT"):
    print("A display is present: choose the certificate in the dialog (DORVIK_SELECT=first runs unattended).")
    host = hostkit.Host(env=cred.env(DISPLAY=os.environ.get("DISPLAY"), WAYLAND_DISPLAY=os.environ.get("WAYLAND_DISPLAY")))
else:
    host = hostkit.Host(env=cred.env(DORVIK_SELECT="first"))

def ask(request, label):
    shown = {k: (v[:24] + "..." if k == "content" else v) for k, v in request.items()}
    print("\n>>", label, shown)
    host.send(request)
    answer, raw = host.read_frame(300)
    print("<<", raw[:200].decode("utf-8", "replace") + ("..." if len(raw) > 200 else ""))
    return answer

def verify(sig, content):
    ok, why = cred.verify(sig, content)
    print("   openssl cms -verify:", "Verification successful" if ok else "FAILED " + why.strip())

with open(text, "rb") as f:
    data = f.read()
# "Dettached" (the signing request's own spelling) leaves the content out of the signature.
answer = ask({"action": "sign", "content": base64.b64encode(data).decode(), "type": "CMS", "hash": "sha256",
              "attrs": ["Dettached", "1"]},
             "detached CMS of content bytes")
if answer.get("action") == "signed":
    sig = os.path.join(demo, "content.p7s")
    with open(sig, "wb") as f:
        f.write(base64.b64decode(answer["signed"]))
    print("   signed %d bytes of content; signature saved as %s" % (len(data), sig))
    verify(sig, text)
else:
    print("   not available yet:", answer.get("error"))

answer = ask({"action": "sign", "filename": text, "type": "CMS", "hash": "sha256", "attrs": ["Dettached", "1"]},
             "detached CMS of a file")
if answer.get("action") == "signed":
    print("   signed", text, "->", answer["signedfilename"])
    verify(answer["signedfilename"], text)
else:
    print("   not available yet:", answer.get("error"))

answer = ask({"action": "sign", "filename": pdf, "type": "PADES", "hash": "sha256"}, "PDF signature (PAdES)")
if answer.get("action") == "signed":
    with open(answer["signedfilename"], "rb") as f:
        signed = f.read()
    if signed.startswith(b"%PDF"):
        print("   signed", pdf, "->", answer["signedfilename"], "(%d bytes)" % len(signed))
        covered, cms = pdf_signature_parts(signed)
        for name, data in (("pdf-signature.p7s", cms), ("pdf-covered.bin", covered)):
            with open(os.path.join(demo, name), "wb") as f:
                f.write(data)
        print("   checking the CMS in /Contents over the /ByteRange bytes")
        verify(os.path.join(demo, "pdf-signature.p7s"), os.path.join(demo, "pdf-covered.bin"))
    else:
        print("   not available yet: PDF signatures (the library wrote plain CMS into", answer["signedfilename"] + ")")
else:
    print("   not available yet:", answer.get("error"))

host.send({"action": "finish"})
host.wait(30)
print("\nkelvane ended with exit code", host.proc.returncode)
PY
