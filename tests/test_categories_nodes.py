"""CategoryNode and the reading of the service's category answers."""

from __future__ import annotations

import copy
import dataclasses
import gc
import pickle

import pytest
from conftest import Boom, Hostile, Mutator, StrSub

from zentrik.seller_sprite.api import categories as cat
from zentrik.seller_sprite.api.categories import CategoryNode


@dataclasses.dataclass(frozen=True)
class Reference:
    """The frozen dataclass CategoryNode stands for."""

    id: object
    node_id_path: object
    label: object
    label_path: object
    has_children: object


FIELDS = ("1", "1:2", "Kitchen", "Home:Kitchen", True)
ODD_FIELDS = [FIELDS, ("", "", "", "", False), ("x'y", 'a"b', "中文", "\t\n", 0), (1, 2.5, None, (1,), [1])]


# --- CategoryNode ---------------------------------------------------------------------------


@pytest.mark.parametrize("fields", ODD_FIELDS)
def test_node_behaves_like_the_frozen_dataclass(fields):
    node, ref = CategoryNode(*fields), Reference(*fields)
    assert repr(node) == repr(ref).replace("Reference(", "CategoryNode(", 1)
    assert node == CategoryNode(**dataclasses.asdict(ref)) and not node != CategoryNode(*fields)
    assert node != fields and node.__eq__(fields) is NotImplemented and node.__eq__(ref) is NotImplemented
    assert (node.id, node.node_id_path, node.label, node.label_path, node.has_children) == fields
    if all(f.__hash__ is not None for f in fields):
        assert hash(node) == hash(ref) == hash(fields)
    else:
        with pytest.raises(TypeError, match="unhashable"):
            hash(node)


def test_node_repr_exact_and_match_args():
    node = CategoryNode(id="1", node_id_path="1", label="A", label_path="A", has_children=False)
    assert repr(node) == "CategoryNode(id='1', node_id_path='1', label='A', label_path='A', has_children=False)"
    match node:
        case CategoryNode(node_id, path, label, label_path, children):
            assert (node_id, path, label, label_path, children) == ("1", "1", "A", "A", False)


@pytest.mark.parametrize("name", ["id", "node_id_path", "label", "label_path", "has_children", "extra"])
def test_node_is_frozen(name):
    node = CategoryNode(*FIELDS)
    with pytest.raises(AttributeError, match=f"cannot assign to field '{name}'"):
        setattr(node, name, "x")
    with pytest.raises(AttributeError, match=f"cannot delete field '{name}'"):
        delattr(node, name)
    assert node == CategoryNode(*FIELDS)


@pytest.mark.parametrize("make", [
    lambda n: pickle.loads(pickle.dumps(n, protocol=0)),
    lambda n: pickle.loads(pickle.dumps(n, protocol=pickle.HIGHEST_PROTOCOL)),
    copy.copy, copy.deepcopy,
])
def test_node_pickles_and_copies(make):
    node = CategoryNode(*FIELDS)
    other = make(node)
    assert type(other) is CategoryNode and other == node and hash(other) == hash(node)
    assert {node: "kept"}[other] == "kept"


@pytest.mark.parametrize(("args", "kwargs", "message"), [
    ((), {}, "CategoryNode() missing 5 required positional arguments: 'id', 'node_id_path', 'label', "
             "'label_path', and 'has_children'"),
    (FIELDS[:4], {}, "CategoryNode() missing 1 required positional argument: 'has_children'"),
    (FIELDS + ("x",), {}, "CategoryNode() takes 5 positional arguments but 6 were given"),
    (FIELDS, {"label": "x"}, "CategoryNode() got multiple values for argument 'label'"),
    (FIELDS, {"parent": "x"}, "CategoryNode() got an unexpected keyword argument 'parent'"),
])
def test_node_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CategoryNode(*args, **kwargs)
    assert str(info.value) == message


def test_node_cycles_are_collected():
    freed = []

    class Canary:
        def __del__(self):
            freed.append(True)

    box: list[object] = [Canary()]
    node = CategoryNode(box, "1", "A", "A", False)
    box.append(node)
    assert gc.is_tracked(node) and repr(node).startswith("CategoryNode(id=[<")
    assert "[...]" not in repr(node) and "..." in repr(node)
    del box, node
    gc.collect()
    assert freed == [True]
    # Nodes of plain texts cannot take part in a cycle and stay untracked.
    assert not gc.is_tracked(CategoryNode(*FIELDS))


# --- _category_key ---------------------------------------------------------------------------


@pytest.mark.parametrize(("params", "key"), [
    ({"category": "Toys", "nodeIdPath": "1:2"}, "nodeIdPath"),
    ({"nodeIdPaths": "", "node": "Kitchen", "category": "Toys"}, "node"),
    ({"nodeIdPaths": [], "nodeIdPath": None, "node": 0, "category": ["x"]}, "category"),
    ({"nodeIdPaths": ["1"], "category": "x"}, "nodeIdPaths"),
    ({"keyword": "x", "Category": "x"}, None),
    ({}, None),
])
def test_category_key(params, key):
    assert cat._category_key(params) == key
    assert cat.CATEGORY_KEYS == ("nodeIdPaths", "nodeIdPath", "node", "category")


def test_category_key_truth_errors_propagate():
    with pytest.raises(Boom):
        cat._category_key({"nodeIdPath": Hostile("bool"), "category": "x"})


# --- _parse_nodes ----------------------------------------------------------------------------

ITEM = {"id": 7, "nodeLabel": "Seven"}


@pytest.mark.parametrize(("payload", "ids"), [
    ({"items": [ITEM]}, ["7"]),
    ({"items": None, "data": {"items": [ITEM]}}, ["7"]),
    ({"data": {"items": [ITEM, ITEM]}}, ["7", "7"]),
    ({"items": {"id": 1}, "data": {"items": [ITEM]}}, []),
    ({"items": [], "data": {"items": [ITEM]}}, []),
    ({"data": [ITEM]}, []),
    ({"data": {"items": None}}, []),
    ({"items": "1,2"}, []),
    ({"items": [3, "text", None, [ITEM], ITEM]}, ["7"]),
    ({}, []),
])
def test_parse_nodes_reads_items_or_data_items(payload, ids):
    nodes = cat._parse_nodes(payload, parent_path="")
    assert [n.id for n in nodes] == ids and all(type(n) is CategoryNode for n in nodes)


def test_parse_nodes_hands_parent_path_to_each_node_and_skips_children():
    payload = {"items": [{"id": 5, "children": [{"id": 6}]}, {"id": 8, "nodeIdPath": "9:8"}]}
    nodes = cat._parse_nodes(payload, parent_path="1:2")
    assert [(n.node_id_path, n.has_children) for n in nodes] == [("1:2:5", True), ("9:8", False)]


def test_parse_nodes_survives_items_changed_while_reading():
    items: list[object] = []
    items.extend([{"id": 1, "nodeLabel": Mutator(items)}, {"id": 2}])
    nodes = cat._parse_nodes({"items": items}, parent_path="")
    assert nodes[0] == CategoryNode("1", "1", "mutated", "mutated", False)


# --- _parse_node and _label ------------------------------------------------------------------


@pytest.mark.parametrize(("item", "parent", "expected"), [
    ({"id": 0, "nodeId": "77"}, "", ("77", "77", "", "", False)),
    ({"id": 12}, "", ("12", "12", "", "", False)),
    ({"id": 0}, "1", ("", "", "", "", False)),
    ({"id": 5}, "1:2", ("5", "1:2:5", "", "", False)),
    ({"id": 5}, "", ("5", "5", "", "", False)),
    ({}, "1:2", ("", "", "", "", False)),
    ({"id": " 5 ", "nodeIdPath": " 1:2 "}, "9", ("5", "1:2", "", "", False)),
    ({"nodeIdPath": "", "nodeIdPaths": "3:4"}, "", ("", "3:4", "", "", False)),
    ({"label": "Kitchen", "nodeLabelPath": "Home:Kitchen"}, "", ("", "", "Kitchen", "Kitchen", False)),
    ({"nodeLabel": "Kitchen", "nodeLabelPath": "Home:Kitchen"}, "", ("", "", "Kitchen", "Home:Kitchen", False)),
    ({"alias": "K"}, "", ("", "", "K", "K", False)),
    ({"nodeLabel": "N", "nodeLabelLocale": "L", "nodeLabelPath": "P", "nodeLabelPathLocale": "PL"}, "",
     ("", "", "L", "PL", False)),
    ({"label": "  ", "nodeLabel": "Real", "nodeLabelPath": "X:Real"}, "", ("", "", "Real", "Real", False)),
    ({"nodeLabel": "\u3000Kitchen\u00a0", "nodeLabelPath": " Home:Kitchen\n"}, "",
     ("", "", "Kitchen", "Home:Kitchen", False)),
    ({"id": 1.5, "nodeLabel": True}, "", ("1.5", "1.5", "True", "True", False)),
])
def test_parse_node_fields(item, parent, expected):
    assert cat._parse_node(item, parent_path=parent) == CategoryNode(*expected)


@pytest.mark.parametrize(("item", "children"), [
    ({"children": []}, False), ({"children": [{}]}, True), ({"hasChildren": 1}, False),
    ({"hasChildren": True}, True), ({"hasChildren": "true"}, False), ({"leaf": 0}, False),
    ({"leaf": False}, True), ({"leaf": True}, False), ({"leaf": None}, False),
    ({"children": [], "hasChildren": False, "leaf": False}, True), ({}, False),
])
def test_parse_node_has_children(item, children):
    assert cat._parse_node(item, parent_path="").has_children is children


@pytest.mark.parametrize(("item", "text"), [
    ({"label": "A", "nodeLabelLocale": "B"}, "A"),
    ({"label": "", "nodeLabelLocale": "B", "nodeLabel": "C"}, "B"),
    ({"label": " \t", "nodeLabel": " C "}, "C"),
    ({"label": None, "nodeLabelLocale": 0, "nodeLabel": [], "alias": 5}, "5"),
    ({"alias": "   "}, ""),
    ({}, ""),
])
def test_label(item, text):
    assert cat._label(item) == text


def test_texts_of_str_subclasses_are_their_own_text():
    node = cat._parse_node({"id": StrSub(" 4 "), "nodeLabel": StrSub(" Toys ")}, parent_path="")
    assert node == CategoryNode("4", "4", "Toys", "Toys", False) and type(node.label) is str


@pytest.mark.parametrize("fn", [cat._label, lambda item: cat._parse_node(item, parent_path="")])
@pytest.mark.parametrize("value", [Hostile("bool"), Hostile("str")])
def test_errors_of_values_propagate(fn, value):
    with pytest.raises(Boom):
        fn({"label": value, "id": value})


def test_parse_node_survives_item_changed_while_reading():
    item: dict[str, object] = {}
    item.update({"id": Mutator(item, "9"), "nodeLabel": "Lost"})
    assert cat._parse_node(item, parent_path="1") == CategoryNode("9", "1:9", "", "", False)


@pytest.mark.parametrize(("call", "message"), [
    (lambda: cat._category_key([]), "Argument 'params' has incorrect type (expected dict, got list)"),
    (lambda: cat._parse_nodes(None, parent_path=""),
     "Argument 'payload' has incorrect type (expected dict, got NoneType)"),
    (lambda: cat._parse_node({}, parent_path=StrSub("1")),
     "Argument 'parent_path' has incorrect type (expected str, got StrSub)"),
    (lambda: cat._parse_nodes({}), "_parse_nodes() missing 1 required keyword-only argument: 'parent_path'"),
    (lambda: cat._label("x"), "Argument 'item' has incorrect type (expected dict, got str)"),
])
def test_kind_and_arity_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
