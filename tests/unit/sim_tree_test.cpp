// The simulated server's object tree: loading, defaults, records and the demo home.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>

#include "sim/simulator.h"
#include "sim/tree.h"

namespace velmar::sim {
namespace {

constexpr int64_t kNow = 1800000000;

ObjectTree Load(const std::string& objects) {
  return ObjectTree::fromJson(R"({"objects":[)" + objects + "]}", kNow);
}

TEST(SimTree, RecordsCarryTheServersKeysInItsOrder) {
  ObjectTree tree = Load(R"(
    {"id":20000,"name":"Küche","position":-3,"icon":"Door","info":"i","summary":"s","ident":"k",
     "hidden":true,"readOnly":true,"disabled":true,"locked":true},
    {"id":30000,"parent":20000,"type":"variable","variable":{"type":"float","value":20.400000000000002,
     "profile":"~Temperature","customProfile":"C","action":1,"customAction":2,"locked":true,
     "changed":-100,"updated":1700000000}},
    {"id":40000,"parent":20000,"type":"instance","instance":{"moduleID":"{X}","moduleName":"M",
     "moduleType":2,"status":201,"connectionID":20000,"changed":5,"supportsSearching":true,
     "isSearching":true}},
    {"id":10000,"parent":20000,"type":"script","script":{"broken":true}},
    {"id":50000,"parent":0,"type":"link","link":{"target":30000}})");

  EXPECT_EQ(
      tree.objectRecord(*tree.find(20000)).dump(),
      R"({"ParentID":0,"ObjectID":20000,"ObjectType":0,"ObjectIdent":"k","ObjectName":"Küche",)"
      R"("ObjectInfo":"i","ObjectIcon":"Door","ObjectSummary":"s","ObjectPosition":-3,)"
      R"("ObjectIsReadOnly":true,"ObjectIsHidden":true,"ObjectIsDisabled":true,)"
      R"("ObjectIsLocked":true,"HasChildren":true,"ChildrenIDs":[30000,40000,10000]})");
  EXPECT_EQ(ObjectTree::variableRecord(*tree.find(30000)).dump(),
            R"({"VariableID":30000,"VariableType":2,"VariableProfile":"~Temperature",)"
            R"("VariableCustomProfile":"C","VariableAction":1,"VariableCustomAction":2,)"
            R"("VariableIsLocked":true,"VariableChanged":1799999900,"VariableUpdated":1700000000,)"
            R"("VariableValue":20.400000000000002})");
  EXPECT_EQ(ObjectTree::instanceRecord(*tree.find(40000)).dump(),
            R"({"InstanceID":40000,"InstanceStatus":201,"ConnectionID":20000,"InstanceChanged":5,)"
            R"("InstanceSupportsSearching":true,"InstanceIsSearching":true,)"
            R"("ModuleInfo":{"ModuleID":"{X}","ModuleName":"M","ModuleType":2}})");
  EXPECT_EQ(ObjectTree::scriptRecord(*tree.find(10000)).dump(),
            R"({"ScriptID":10000,"ScriptType":0,"ScriptFile":"10000.ips.php","ScriptExecuted":0,)"
            R"("ScriptIsBroken":true})");
  EXPECT_EQ(ObjectTree::linkRecord(*tree.find(50000)).dump(),
            R"({"LinkID":50000,"TargetID":30000})");
}

TEST(SimTree, DefaultsForOmittedKeys) {
  ObjectTree tree = Load(R"({"id":12345,"type":"variable","variable":{"type":"string"}},
                            {"id":23456,"type":"variable","variable":{"type":"float","value":21}})");
  const Object& root = *tree.find(0);
  EXPECT_EQ(root.name, "IP-Symcon");
  EXPECT_EQ(root.parent, 0);
  EXPECT_EQ(root.children, (std::vector<int>{12345, 23456}));
  const Object& text = *tree.find(12345);
  EXPECT_EQ(text.name, "Unnamed Object (ID: 12345)");
  EXPECT_EQ(text.variable->value, "");
  // A whole number given for a float variable is stored as a float.
  EXPECT_EQ(ObjectTree::variableRecord(*tree.find(23456))["VariableValue"].dump(), "21.0");
  EXPECT_EQ(tree.ids(), (std::vector<int>{0, 12345, 23456}));
}

TEST(SimTree, ParentsMayFollowTheirChildren) {
  ObjectTree tree = Load(R"({"id":30000,"parent":20000},{"id":20000})");
  EXPECT_EQ(tree.find(20000)->children, std::vector<int>{30000});
}

TEST(SimTree, RejectsInconsistentTrees) {
  struct Case {
    const char* objects;
    const char* message;
  };
  const Case cases[] = {
      {R"({"id":12345},{"id":12345})", "object 12345: duplicate ID"},
      {R"({"id":9999})", "object 9999: IDs run from 10000 to 59999"},
      {R"({"id":60000})", "IDs run from 10000 to 59999"},
      {R"({"id":12345,"parent":23456})", "object 12345: parent 23456 does not exist"},
      {R"({"id":12345,"type":"link","link":{"target":777}})", "link target 777 does not exist"},
      {R"({"id":12345,"type":"link"})", "\"target\" is required"},
      {R"({"id":12345,"type":"folder"})", "\"type\" must be one of"},
      {R"({"id":12345,"type":"variable"})", "a variable needs"},
      {R"({"id":12345,"type":"variable","variable":{"type":"integer","value":1.5}})",
       "\"value\" does not match its type"},
      {R"({"id":12345,"type":"variable","variable":{"type":"text"}})", "variable \"type\""},
      {R"({"id":12345,"nmae":"x"})", "unknown key \"nmae\""},
      {R"({"id":12345,"script":{}})", "\"script\" belongs to script objects only"},
      {R"({"id":12345,"parent":23456},{"id":23456,"parent":12345})", "parent cycle"},
      {R"({"id":0,"type":"script"})", "the root must be a category"},
      {R"({"name":"x"})", "\"id\" is required"},
      {R"({"id":12345,"position":"1"})", "\"position\" must be an integer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.objects);
    try {
      Load(c.objects);
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(ObjectTree::fromJson("{", kNow), std::runtime_error);
  EXPECT_THROW(ObjectTree::fromJson("[]", kNow), std::runtime_error);
}

TEST(SimDemoHome, IsAConsistentTreeThatExercisesEveryKind) {
  ObjectTree tree = ObjectTree::fromJson(Simulator::demoHomeJson(), kNow);
  EXPECT_GE(tree.size(), 250u);
  EXPECT_LE(tree.size(), 350u);

  std::set<int> seen;
  std::set<int> typesSeen, moduleTypes, variableTypes;
  bool bigCategory = false, brokenScript = false, failingScript = false, htmlOutput = false;
  bool linkToCategory = false, linkToVariable = false, duplicatePositions = false;
  bool positionsOutOfIdOrder = false;
  for (int id : tree.ids()) {
    ASSERT_TRUE(seen.insert(id).second) << "duplicate " << id;
    const Object& o = *tree.find(id);
    if (id != 0) {
      EXPECT_GE(id, 10000);
      EXPECT_LE(id, 59999);
      const Object* parent = tree.find(o.parent);
      ASSERT_NE(parent, nullptr) << id;
      EXPECT_EQ(std::count(parent->children.begin(), parent->children.end(), id), 1) << id;
    }
    for (int child : o.children) EXPECT_EQ(tree.find(child)->parent, id) << child;
    typesSeen.insert(static_cast<int>(o.type));
    if (o.children.size() > 100) bigCategory = true;
    std::set<int> positions;
    for (std::size_t i = 0; i < o.children.size(); ++i) {
      const Object& child = *tree.find(o.children[i]);
      if (!positions.insert(child.position).second) duplicatePositions = true;
      if (i > 0) {
        const Object& before = *tree.find(o.children[i - 1]);
        if ((before.position < child.position) != (before.id < child.id))
          positionsOutOfIdOrder = true;
      }
    }
    if (o.instance) moduleTypes.insert(o.instance->moduleType);
    if (o.variable) variableTypes.insert(static_cast<int>(o.variable->type));
    if (o.script) {
      brokenScript |= o.script->broken;
      failingScript |= o.script->failsToStart;
      htmlOutput |= o.script->output.find("<br") != std::string::npos &&
                    o.script->output.find("&nbsp;") != std::string::npos;
    }
    if (o.type == ObjectType::Link) {
      const Object* target = tree.find(o.linkTarget);
      ASSERT_NE(target, nullptr) << id;
      linkToCategory |= target->type == ObjectType::Category;
      linkToVariable |= target->type == ObjectType::Variable;
    }
  }
  EXPECT_EQ(tree.find(0)->name, "IP-Symcon");
  EXPECT_EQ(typesSeen, (std::set<int>{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(moduleTypes, (std::set<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(variableTypes, (std::set<int>{0, 1, 2, 3}));
  EXPECT_TRUE(bigCategory);
  EXPECT_TRUE(brokenScript);
  EXPECT_TRUE(failingScript);
  EXPECT_TRUE(htmlOutput);
  EXPECT_TRUE(linkToCategory);
  EXPECT_TRUE(linkToVariable);
  EXPECT_TRUE(duplicatePositions);
  EXPECT_TRUE(positionsOutOfIdOrder);

  std::set<std::string> names;
  for (int id : tree.ids()) names.insert(tree.find(id)->name);
  for (const char* name : {"Küche", "Büro", "Außen", "Gäste WC"})
    EXPECT_TRUE(names.count(name)) << name;
}

}  // namespace
}  // namespace velmar::sim
