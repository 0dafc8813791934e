# tarncl from Python against the stand-in server: the tour's flow, errors, the Pythonic extras.
import inspect

import pytest

import tarncl

AM, VM, SM = "\u00fe", "\u00fd", "\u00fc"


def make_file(conn, name):
    conn.brExecute(f"CREATE-FILE DICT {name} 7 (")
    conn.brExecute(f"CREATE-FILE DATA {name},{name} 11 (")
    return conn.brOpenFile("", name)


def test_every_class_member_and_enumeration_is_there():
    for cls in ("clsTarnEnvironment", "clsTarnDynamicArray", "clsTarnGlobalConstant",
                "clsTarnConnection", "clsTarnFile", "clsTarnSelectList", "clsTarnTclCommand",
                "clsTarnRuleModule", "clsTarnIndex", "frmTarnAbout"):
        assert isinstance(getattr(tarncl, cls), type), cls
    assert tarncl.eTarnItemLockOptions.tarnItem_ReadLocked == -1
    assert tarncl.TarnSystem_SysIdendifier == 100
    assert tarncl.TarnClassTCL == tarncl.TarnClassVM == 771
    # Unqualified names reach the application objects.
    assert (tarncl.brAMChr, tarncl.TarnVMChr, tarncl.brType) == (AM, VM, "ODBC32")
    with pytest.raises(TypeError):
        tarncl.clsTarnFile()  # made by a connection only


def test_the_tour_end_to_end(conn):
    assert conn.brName.endswith("DSN=Tarn;Account=TEST_THE_TOUR_END_TO_END")
    f = make_file(conn, "CUST")
    item = tarncl.clsTarnDynamicArray(["Smith", "12 High Street", ["555-0100", "555-0199"]])
    f.brWrite(item, "1")
    f.brWrite(tarncl.clsTarnDynamicArray(["Jones", "3 Low Road"]), "2")
    back = f.brRead("1")
    assert back.brName == "1" and back.brCString == item.brCString
    assert back.brExtractStr(3, 2) == "555-0199"
    assert f.brReadV("2", 2).brCString == "3 Low Road"
    assert sorted(conn.brOpenSelectList("SELECT CUST")) == ["1", "2"]
    conn.brExecute("COUNT CUST")
    assert conn.brCapturing.brCString.startswith("Count: 2")
    assert conn.brOconv("12345", "MD2") == "123.45"
    assert conn.brItemCount(True) >= 0 and f.brItemCount(vbExact=True) == 2
    cmd = conn.brOpenTclCommand("WHO")
    cmd.brExecute()
    assert cmd.brCapturing.brCString != ""
    f.brDelete("2")
    with pytest.raises(tarncl.TarnError):
        f.brRead("2")


def test_failures_are_tarn_errors_with_number_source_and_description(conn):
    f = make_file(conn, "ORDERS")
    with pytest.raises(tarncl.TarnError) as missing:
        f.brRead("nothing")
    e = missing.value
    assert e.number == 0x80040000 + 1026 - (1 << 32)
    assert e.source == "Tarn Class Library (ODBC Only) (ODBC) clsTarnFile.brRead  ORDERS nothing"
    assert e.description != ""
    with pytest.raises(tarncl.TarnError) as mismatch:
        tarncl.clsTarnDynamicArray("a").brExtractStr("first")
    assert mismatch.value.number == 13
    with pytest.raises(tarncl.TarnError) as arity:
        f.brRead()
    assert arity.value.number == 450
    with pytest.raises(TypeError):
        f.brRead("1", nosuch=1)


def test_iteration_and_with_blocks_release(conn):
    f = make_file(conn, "PARTS")
    for n in range(5):
        f.brWrite(tarncl.clsTarnDynamicArray(f"part {n}"), str(n))
    assert sorted(f.brSelect()) == ["0", "1", "2", "3", "4"]
    assert list(tarncl.clsTarnDynamicArray("a" + AM + "b").brSelect()) == ["a", "b"]
    with conn.brOpenFile("", "PARTS") as g:
        assert g.brRead("3").brCString == "part 3"
    with pytest.raises(tarncl.TarnError) as gone:
        g.brName
    assert gone.value.number == 91


def test_nested_lists_by_reference_results_and_keywords():
    a = tarncl.clsTarnDynamicArray([["x", ["y1", "y2"]], "z"])
    assert a.brCString == "x" + VM + "y1\u00fcy2" + AM + "z"
    assert a.tolist() == [["x", ["y1", "y2"]], "z"]
    assert str(a) == "x]y1\\y2^z"
    assert a.brLocateStr("z", 0) == (True, 2)
    assert a.brLocateStr("q", 0, vnAMC=1) == (False, 3)
    assert a.brExtractStr(1, nVMC=2, nSVMC=2) == "y2"
    env = tarncl.clsTarnEnvironment()
    assert env.brError() == env.brError(None)[0]
    lst = a.brSelect()
    assert lst.brReadnext(None) == (True, "z")


def test_non_ascii_text_round_trips(conn):
    f = make_file(conn, "NAMES")
    text = "Zoë Müller – 5 €" + AM + "Ça va"
    f.brWrite(tarncl.clsTarnDynamicArray(text), "Zoë")
    assert f.brRead("Zoë").brCString == text
    assert f.brRead("Zoë").brExtractStr(2) == "Ça va"


def test_an_index_is_cruised_with_by_reference_results(conn):
    f = make_file(conn, "TOWNS")
    f.brWrite(tarncl.clsTarnDynamicArray(["Smith", ["York", "Leeds"]]), "1")
    f.brWrite(tarncl.clsTarnDynamicArray(["Jones", "Hull"]), "2")
    assert f.brCreateIndex("A2", False)
    index = f.brRoot("A2")
    assert index.brFindFirst("HUL", None) == (True, "2")
    ids, key, count = index.brKeyX("Le", "", 0)
    assert (ids.brCString, key, count) == ("1", "Le", 1)
    assert index.brIndexKey == "Leeds"
    assert index.brMoveFirst(None) == (True, "2")
    towns = [index.brIndexKey]
    while index.brMoveNext():
        towns.append(index.brIndexKey)
    assert towns == ["Hull", "Leeds", "York"]


def test_marks_version_and_names_dir_lists():
    assert (tarncl.AM, tarncl.VM, tarncl.SM) == (AM, VM, SM)
    assert tarncl.__version__ == tarncl.clsTarnEnvironment().brVersion
    names = dir(tarncl)
    for name in ("AM", "connect", "LockedError", "brAMChr", "brUniqueId", "clsTarnFile"):
        assert name in names, name


def test_every_member_has_a_signature_and_its_contract_as_docstring():
    # Members the headers leave to a shared comment still get one.
    for cls_name, _, _, members in tarncl._tarncl._describe():
        cls = getattr(tarncl, cls_name)
        assert cls.__doc__ and len(cls.__doc__) > 20, cls_name
        for name, kind, _, params in members:
            attr = cls.__dict__[name]
            doc = attr.__doc__
            assert doc.startswith(name) and "\n\n" in doc, f"{cls_name}.{name}: {doc!r}"
            if kind == 1:
                sig = inspect.signature(attr)
                assert list(sig.parameters)[1:] == [p[0] for p in params], name
                assert all((p.default is None) == opt for p, (_, _, opt, _) in
                           zip(list(sig.parameters.values())[1:], params)), name
    # A property is documented as one, and is one.
    assert "(read-only property)" in tarncl.clsTarnConnection.brCapturing.__doc__
    assert "(property)" in tarncl.clsTarnDynamicArray.brCString.__doc__
    assert tarncl.clsTarnFile.brRead.__qualname__ == "clsTarnFile.brRead"


@pytest.mark.parametrize("text, attributes", [
    ("", []),
    ("one", ["one"]),
    ("a" + AM + "b" + VM + "c" + AM, ["a", "b" + VM + "c", ""]),
])
def test_a_dynamic_array_is_a_sequence_of_attributes_counted_from_one(text, attributes):
    a = tarncl.clsTarnDynamicArray(text)
    assert len(a) == len(attributes) and list(a) == attributes
    for n, attribute in enumerate(attributes, start=1):
        assert a[n] == attribute and a[n - 1 - len(attributes)] == attribute
    for bad in (0, len(attributes) + 1, -len(attributes) - 1):
        with pytest.raises(IndexError):
            a[bad]


def test_str_and_nested_lists_stand_for_arrays(conn):
    f = make_file(conn, "SHAPES")
    f.brWrite("plain" + AM + "text", "1")
    f.brWrite(["a", ["b", ["c", "d"]]], "2")
    assert f.brRead("1").brCString == "plain" + AM + "text"
    assert f.brRead("2").brCString == "a" + AM + "b" + VM + "c" + SM + "d"
    env = tarncl.clsTarnEnvironment()
    assert env.brOpenDynamicArray(["x", ["y", "z"]]).brCString == "x" + AM + "y" + VM + "z"
    assert env.brOpenDynamicArray("x").brCString == "x"
    assert tarncl.clsTarnDynamicArray("a" + AM + "b").brEqual(["a", "b"])
    with pytest.raises(tarncl.BadArgumentError):
        f.brWrite(3.5j, "3")


def test_call_writes_results_back_into_the_list_passed(conn):
    bp = make_file(conn, "BP")
    bp.brWrite(["SUBROUTINE JOIN(A, B, C)", 'C = A : "-" : B', 'A = "seen"', "RETURN", "END"],
               "JOIN")
    assert conn.brCompile("BP", "BP", "JOIN") and conn.brCatalog("BP", "BP", "JOIN")
    module = conn.brOpenRuleModule("JOIN")
    args = ["x", "y", ""]
    same = args
    ok, returned = module.brCall(args)
    assert ok and args is same and args == ["seen", "y", "x-y"] and returned == args
    # A tuple cannot be updated: the results come back only.
    assert module.brCall(("p", "q", "")) == (True, ["seen", "q", "p-q"])


def test_connect_builds_the_connection_string(conn, data_source):
    account = conn.brName.rsplit("Account=", 1)[1]
    with tarncl.connect(data_source + f";Account={account}") as c:
        assert c.brName.endswith(f"Account={account}")
    with tarncl.connect("Tarn", Account=account) as c:
        assert c.brName.endswith(f"DSN=Tarn;Account={account}")
    with tarncl.connect("Tarn", Account=account, Note="a;b") as c:
        assert c.brName.endswith("Note={a;b}")
    with pytest.raises(tarncl.TarnError) as e:
        tarncl.connect("NoSuchSource", Account=account)
    assert e.value.sql_state == "IM002"


def test_a_password_is_used_but_never_shown(data_source):
    # An unprotected account ignores the credentials; every text about the connection masks them.
    env = tarncl.clsTarnEnvironment()
    with env.brOpenConnection("ODBC", f"{data_source};Account=SHOWN;UID=ann;PWD=Py-Sekrit-1") as c:
        assert c.brName.endswith("PWD=***") and "Py-Sekrit-1" not in c.brDatabase
        with pytest.raises(tarncl.TarnError) as failure:
            c.brOpenFile("", "NOSUCH")
        e = failure.value
        assert "Py-Sekrit-1" not in f"{e} {e.source} {e.description}"
    with pytest.raises(tarncl.TarnError) as refused:
        env.brOpenConnection("ODBC", f"{data_source};Account=NOSUCH;CreateAccount=No;PWD=Py-Sekrit-2")
    e = refused.value
    assert "Py-Sekrit-2" not in f"{e} {e.source} {e.description}"
