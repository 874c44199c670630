// The public face of RufusReplayService: the constructor, which fixes the
// response parser, and the two drivers. replay_with_page replays questions in
// a browser page one after the other, carrying the conversation's thread id
// from each answer into the next question.
#include "amazon_rufus/services/replay.hpp"

using namespace frame;

namespace replay {
namespace {

Ref init_body(const Call& c) {
  Borrowed self = c.args[0], parser = c.args[1];
  if (truthy(parser)) {
    setattr(self, k.parser, parser);
  } else {
    Ref made = call(state.global(k.RufusParserService));
    setattr(self, k.parser, made);
  }
  return none();
}

Ref replay_body(const Call&) { return new_list(); }

/// The loop of replay_with_page; answers are appended to `answers` as they come.
void replay_questions(Borrowed self, Borrowed page, Borrowed seed, Borrowed questions, Borrowed answers) {
  Ref thread_id = none();
  Ref headers;
  {
    Ref method = getattr(self, k._build_replay_headers);
    headers = call(method, getattr(seed, k.request_headers));
  }
  Ref replay_url;
  {
    Ref method = getattr(self, k.build_replay_url);
    replay_url = call(method, seed);
  }
  // As a list iterator does: a list that grows is followed to its new end.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(questions.get()); ++i) {
    Ref question = Ref::borrow(PyList_GET_ITEM(questions.get(), i));
    Ref build_payload = getattr(self, k.build_payload);
    Ref request_body = getattr(seed, k.request_body);
    Ref asin = getattr(seed, k.asin);
    Ref payload = call(build_payload, request_body, question, thread_id, asin);

    Ref argument = new_dict();
    dict_set(argument, k.url, replay_url);
    dict_set(argument, k.body, payload);
    dict_set(argument, k.headers, headers);
    Ref raw_text = call_method(page, k.evaluate, k.page_script, argument);

    Ref parser = getattr(self, k.parser);
    Ref answer = call_method(parser, k.parse, raw_text);
    Ref reported = getattr(answer, k.thread_id);
    if (truthy(reported)) {
      if (!PyUnicode_CheckExact(reported.get()))
        raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(reported.get())->tp_name);
      thread_id = std::move(reported);
    }
    list_append(answers, answer);
  }
}

/// Hangs the answers obtained so far on the exception being raised, so that a
/// failure part way does not lose requests already answered. An exception
/// that takes no attributes propagates unchanged.
void attach_partial_answers(Borrowed answers) noexcept {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return;
  if (PyObject_SetAttr(exc.get(), k.partial_answers, answers.get()) < 0) PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
}

Ref replay_with_page_body(const Call& c) {
  Borrowed self = c.args[0], page = c.args[1], seed = c.args[2], questions = c.args[3];
  Ref answers = new_list();
  try {
    replay_questions(self, page, seed, questions, answers);
  } catch (const PyErrOccurred&) {
    attach_partial_answers(answers);
    throw;
  } catch (...) {
    translate_current_exception();
    attach_partial_answers(answers);
    throw PyErrOccurred{};
  }
  return answers;
}

const Param kInitParams[] = {{"self"}, {"parser", "RufusParserService | None", Check::Any, Default::None}};
const Param kReplayParams[] = {
    {"self"},
    {"seed", "SeedRequestRecord"},
    {"questions", "list[str]", Check::List},
};
const Param kReplayWithPageParams[] = {
    {"self"},
    {"page"},
    {"seed", "SeedRequestRecord"},
    {"questions", "list[str]", Check::List},
};
const char* const kReplayWithPageLocals[] = {"answers",  "thread_id", "headers",  "replay_url",
                                             "question", "payload",   "raw_text", "answer"};

} // namespace

MethodDef init_def{
    .name = "__init__",
    .qualname = "RufusReplayService.__init__",
    .module = &state,
    .params = kInitParams,
    .return_annotation = "None",
    .first_line = __LINE__,
    .plain = init_body,
};

MethodDef replay_def{
    .name = "replay",
    .qualname = "RufusReplayService.replay",
    .module = &state,
    .params = kReplayParams,
    .doc = "无页面句柄时返回失败占位，正式运行由页面重放实现覆盖。",
    .return_annotation = "list[AnswerData]",
    .first_line = __LINE__,
    .plain = replay_body,
};

MethodDef replay_with_page_def{
    .name = "replay_with_page",
    .qualname = "RufusReplayService.replay_with_page",
    .module = &state,
    .params = kReplayWithPageParams,
    .doc = "在页面上下文中逐题 fetch Rufus。",
    .return_annotation = "list[AnswerData]",
    .first_line = __LINE__,
    .locals = kReplayWithPageLocals,
    .plain = replay_with_page_body,
};

} // namespace replay
