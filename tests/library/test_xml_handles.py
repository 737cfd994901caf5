"""The XML handle exports of libdorvik.so driven through ctypes, as other programs drive them."""
import ctypes
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

BINARY_DIR = os.environ.get("DORVIK_BINARY_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
LIB_PATH = os.path.join(BINARY_DIR, "lib", "libdorvik.so")
lib = ctypes.CDLL(LIB_PATH)

I32, S, P = ctypes.c_int32, ctypes.c_char_p, ctypes.c_char_p
SIGNATURES = [
    ("CreateXml", [], I32), ("DestroyXml", [I32], None),
    ("GetNodeCount", [I32, S, S], I32), ("NewNode", [I32, S, S], I32),
    ("SetNodeName", [I32, S, S], None), ("GetNodeName", [I32, S, P, I32], I32),
    ("SetNodeValue", [I32, S, S], None), ("GetNodeValue", [I32, S, P, I32], I32),
    ("GetNodePropertyCount", [I32, S], I32),
    ("SetNodePropertyName", [I32, S, I32, S], None), ("GetNodePropertyName", [I32, S, I32, P, I32], I32),
    ("SetNodePropertyValue", [I32, S, S, S], None), ("GetNodePropertyValue", [I32, S, S, P, I32], I32),
    ("PrepareXml", [I32, S], I32), ("PrepareChildrenXml", [I32, S], I32), ("TransformXml", [I32, S, S], I32),
    ("GetXml", [I32, P, I32], I32), ("SetXml", [I32, S, S], None), ("SetChildrenXml", [I32, S, S], None),
    ("SortNode", [I32, S, I32], None), ("SortNode2", [I32, S, S], None),
    ("LoadFromFile", [I32, S, S], I32), ("SaveToFile", [I32, S, S], I32),
    ("DeleteNode", [I32, S, S], None), ("GetNodeIndex", [I32, S, S], I32),
    ("DeleteProperty", [I32, S, S], None), ("GetPropertyIndex", [I32, S, S], I32),
    ("Prepare", [], None), ("CloseStreams", [], None), ("AppendTextChunck", [S, I32], None),
    ("ReadTextChunck", [I32, I32, P], I32), ("Transform", [S], I32), ("GetError", [P, I32], I32),
]
for name, args, res in SIGNATURES:
    fn = getattr(lib, name)
    fn.argtypes = args
    fn.restype = res


def prepared(h):
    n = lib.PrepareXml(h, b"")
    return n, xml_text(h, n)


def xml_text(h, n):
    buf = ctypes.create_string_buffer(n + 1)
    got = lib.GetXml(h, buf, n)
    return buf.raw[:got]


def value(h, path):
    n = lib.GetNodeValue(h, path, None, 0)
    buf = ctypes.create_string_buffer(n + 1)
    assert lib.GetNodeValue(h, path, buf, n) == n
    return buf.raw[:n]


def status():
    buf = ctypes.create_string_buffer(64)
    n = lib.GetError(buf, 63)
    return buf.value if n >= 0 else b""


class FreshProcess(unittest.TestCase):
    def test_numbering_in_a_fresh_process(self):
        script = textwrap.dedent("""
            import ctypes, sys
            lib = ctypes.CDLL(sys.argv[1])
            lib.CreateXml.restype = ctypes.c_int32
            a = lib.CreateXml(); b = lib.CreateXml()
            lib.DestroyXml(1)
            c = lib.CreateXml()
            lib.DestroyXml(c); lib.DestroyXml(c)
            d = lib.CreateXml()
            print(a, b, c, d)
        """)
        out = subprocess.run([sys.executable, "-c", script, LIB_PATH], capture_output=True, text=True, check=True,
                             env=os.environ)
        self.assertEqual(out.stdout.split(), ["1", "2", "3", "4"])


class Handles(unittest.TestCase):
    def setUp(self):
        self.h = lib.CreateXml()
        self.assertGreater(self.h, 0)

    def tearDown(self):
        lib.DestroyXml(self.h)

    def test_unregistered_handles(self):
        dead = lib.CreateXml()
        lib.DestroyXml(dead)
        buf = ctypes.create_string_buffer(b"untouched", 16)
        for h in (dead, 0, -5, 999999):
            self.assertEqual(lib.GetNodeCount(h, b"", b""), 0)
            self.assertEqual(lib.NewNode(h, b"", b"x"), -1)
            self.assertEqual(lib.GetNodeName(h, b"", buf, 15), 0)
            self.assertEqual(lib.GetNodeValue(h, b"", buf, 15), 0)
            self.assertEqual(lib.GetNodePropertyCount(h, b""), 0)
            self.assertEqual(lib.GetNodePropertyName(h, b"", 0, buf, 15), 0)
            self.assertEqual(lib.GetNodePropertyValue(h, b"", b"p", buf, 15), 0)
            self.assertEqual(lib.PrepareXml(h, b""), 0)
            self.assertEqual(lib.PrepareChildrenXml(h, b""), 0)
            self.assertEqual(lib.TransformXml(h, b"", b"<xc:C/>"), 0)
            self.assertEqual(lib.GetXml(h, buf, 15), 0)
            self.assertEqual(lib.LoadFromFile(h, b"", b"/nonexistent"), 0)
            self.assertEqual(lib.SaveToFile(h, b"", b"/nonexistent/x"), 0)
            self.assertEqual(lib.GetNodeIndex(h, b"", b"x"), -1)
            self.assertEqual(lib.GetPropertyIndex(h, b"", b"x"), -1)
            for fn, args in [(lib.SetNodeName, (b"", b"n")), (lib.SetNodeValue, (b"", b"v")),
                             (lib.SetNodePropertyName, (b"", 0, b"n")), (lib.SetNodePropertyValue, (b"", b"p", b"v")),
                             (lib.SetXml, (b"", b"<a/>")), (lib.SetChildrenXml, (b"", b"<a/>")),
                             (lib.SortNode, (b"", 1)), (lib.SortNode2, (b"", b"x")), (lib.DeleteNode, (b"", b"x")),
                             (lib.DeleteProperty, (b"", b"x")), (lib.DestroyXml, ())]:
                fn(h, *args)
        self.assertEqual(buf.value, b"untouched")
        # The live handle saw none of it.
        self.assertEqual(prepared(self.h), (5, b"</>\r\n"))

    def test_text_out_sizes(self):
        lib.SetNodeValue(self.h, b"A", b"abc")
        buf = ctypes.create_string_buffer(b"\xff" * 8, 8)
        self.assertEqual(lib.GetNodeValue(self.h, b"A", buf, 0), 3)
        self.assertEqual(buf.raw[:4], b"\xff" * 4)
        self.assertEqual(lib.GetNodeValue(self.h, b"A", buf, 2), 3)
        self.assertEqual(buf.raw[:4], b"\xff" * 4)
        self.assertEqual(lib.GetNodeValue(self.h, b"A", buf, 3), 3)
        self.assertEqual(buf.raw[:4], b"abc\x00")
        self.assertEqual(lib.GetNodeName(self.h, b"A", buf, 7), 1)
        self.assertEqual(buf.raw[:2], b"A\x00")
        lib.SetNodePropertyValue(self.h, b"A", b"Kind", b"long value")
        self.assertEqual(lib.GetNodePropertyValue(self.h, b"A", b"Kind", buf, 7), 10)
        self.assertEqual(lib.GetNodePropertyName(self.h, b"A", 0, buf, 7), 4)
        self.assertEqual(buf.raw[:5], b"Kind\x00")

    def test_paths_create_nodes_for_reading_too(self):
        self.assertEqual(lib.GetNodeCount(self.h, b"A\\B", b""), 0)
        self.assertEqual(prepared(self.h)[1], b"<>\r\n\t<A>\r\n\t\t<B/>\r\n\t</A>\r\n</>\r\n")
        self.assertEqual(lib.GetNodeCount(self.h, b"", b""), 1)
        self.assertEqual(lib.GetNodeCount(self.h, b"A", b""), 1)
        self.assertEqual(lib.GetNodeIndex(self.h, b"A", b"B"), 0)
        # Reading a missing property creates it (visible in the count, not in the text).
        self.assertEqual(lib.GetNodePropertyValue(self.h, b"A", b"p", None, 0), 0)
        self.assertEqual(lib.GetNodePropertyCount(self.h, b"A"), 1)
        # An index beyond the properties appends an unnamed one.
        self.assertEqual(lib.GetNodePropertyName(self.h, b"A", 5, None, 0), 0)
        self.assertEqual(lib.GetNodePropertyCount(self.h, b"A"), 2)

    def test_case_rules(self):
        lib.SetXml(self.h, b"", b"<r><Item a='1'/><Other/></r>")
        self.assertEqual(lib.GetNodeIndex(self.h, b"", b"Item"), 0)
        self.assertEqual(lib.GetNodeIndex(self.h, b"", b"item"), -1)
        self.assertEqual(lib.GetNodeCount(self.h, b"", b"Item"), 1)
        self.assertEqual(lib.GetNodeCount(self.h, b"", b"ITEM"), 0)
        self.assertEqual(lib.GetPropertyIndex(self.h, b"Item", b"a"), 0)
        self.assertEqual(lib.GetPropertyIndex(self.h, b"Item", b"A"), -1)
        # Path steps, DeleteNode and DeleteProperty ignore letter case.
        self.assertEqual(lib.GetNodePropertyValue(self.h, b"iTeM", b"A", None, 0), 1)
        lib.DeleteProperty(self.h, b"ITEM", b"A")
        self.assertEqual(lib.GetPropertyIndex(self.h, b"Item", b"a"), -1)
        lib.DeleteNode(self.h, b"", b"OTHER")
        self.assertEqual(lib.GetNodeCount(self.h, b"", b""), 1)

    def test_build_rename_sort_and_text_forms(self):
        lib.SetNodeName(self.h, b"", b"list")
        for name in (b"b", b"A", b"c"):
            self.assertEqual(lib.NewNode(self.h, b"", name), lib.GetNodeCount(self.h, b"", b"") - 1)
        lib.SetNodeValue(self.h, b"{0}", b"x y")
        lib.SortNode(self.h, b"", 0)
        self.assertEqual(prepared(self.h)[1], b"<list>\r\n\t<A/>\r\n\t<b>x&#x20;y</b>\r\n\t<c/>\r\n</list>\r\n")
        n = lib.PrepareChildrenXml(self.h, b"")
        self.assertEqual(xml_text(self.h, n), b"<A/>\r\n<b>x&#x20;y</b>\r\n<c/>\r\n")
        # The prepared text stays for several reads, cut to the buffer size when asked.
        buf = ctypes.create_string_buffer(8)
        self.assertEqual(lib.GetXml(self.h, buf, 4), 4)
        self.assertEqual(buf.value, b"<A/>")
        self.assertEqual(lib.GetXml(self.h, buf, 4), 4)
        lib.SetNodeName(self.h, b"b", b"z")
        self.assertEqual(lib.GetNodeIndex(self.h, b"", b"z"), 1)
        lib.SetChildrenXml(self.h, b"", b"<i n='3'/><i n='10'/><i n='2'/>")
        lib.SortNode2(self.h, b"", b"-.n")
        self.assertEqual(prepared(self.h)[1], b"<list>\r\n\t<i n=\"10\"/>\r\n\t<i n=\"3\"/>\r\n\t<i n=\"2\"/>\r\n</list>\r\n")
        lib.SetNodePropertyName(self.h, b"{0}", 0, b"m")
        self.assertEqual(lib.GetPropertyIndex(self.h, b"{0}", b"m"), 0)

    def test_files(self):
        with tempfile.TemporaryDirectory() as d:
            target = os.path.join(d, "tree.xml").encode()
            lib.SetXml(self.h, b"", b"<doc><a>1</a></doc>")
            self.assertEqual(lib.SaveToFile(self.h, b"", target), 1)
            with open(target, "rb") as f:
                self.assertEqual(f.read(), b"<doc>\r\n\t<a>1</a>\r\n</doc>\r\n")
            other = lib.CreateXml()
            try:
                self.assertEqual(lib.LoadFromFile(other, b"copy", target), 1)
                # The node takes the file's element, name included.
                self.assertEqual(value(other, b"doc\\a"), b"1")
                self.assertEqual(lib.GetNodeIndex(other, b"", b"copy"), -1)
                # A failed load still answers 1 for a known handle.
                self.assertEqual(lib.LoadFromFile(other, b"", os.path.join(d, "missing").encode()), 1)
            finally:
                lib.DestroyXml(other)

    def test_transform(self):
        lib.SetXml(self.h, b"", b"<r><Item>a</Item><Item>b</Item></r>")
        template = (b"<xc:Conversion xc:Encode='none'><xc:Template Match='\\'>"
                    b"<xc:ForEach Select='Item'><xc:Resolve Expression=\"Concat($_i, '=', .)\"/></xc:ForEach>"
                    b"</xc:Template></xc:Conversion>")
        n = lib.TransformXml(self.h, b"", template)
        self.assertEqual(xml_text(self.h, n), b"1=a2=b")
        # A template without a root template leaves the prepared text empty.
        self.assertEqual(lib.TransformXml(self.h, b"", b"<xc:Conversion><xc:Template Match='x'/></xc:Conversion>"), 0)
        self.assertEqual(xml_text(self.h, 10), b"")

    def test_transform_export_uses_text_buffer(self):
        lib.Prepare()
        try:
            lib.AppendTextChunck(b"<r><v>5</v></r>", 0)
            n = lib.Transform(b"<xc:C xc:Encode='none'><xc:Template Match='\\'><xc:Resolve Expression='v * 2'/></xc:Template></xc:C>")
            buf = ctypes.create_string_buffer(16)
            self.assertEqual(n, 2)
            self.assertEqual(lib.ReadTextChunck(0, 16, buf), 2)
            self.assertEqual(buf.raw[:2], b"10")
            self.assertEqual(lib.Transform(b"<no-template/>"), 0)
            self.assertEqual(lib.ReadTextChunck(0, 16, buf), 0)
        finally:
            lib.CloseStreams()

    def test_failure_keeps_prepared_text_and_reports_word(self):
        lib.SetXml(self.h, b"", b"<r><a/></r>")
        n, text = prepared(self.h)
        # A brace index that is not a number fails inside: the unknown-handle result, the
        # prepared text unchanged, and the word in the conversion status.
        self.assertEqual(lib.PrepareXml(self.h, b"{x}"), 0)
        self.assertEqual(xml_text(self.h, n), text)
        self.assertEqual(status(), b"ConvertError")
        self.assertEqual(lib.NewNode(self.h, b"{zz}", b"q"), -1)


if __name__ == "__main__":
    unittest.main()
