// SPDX-License-Identifier: GPL-2.0
/*
 * kxproc: the container kernel's device lists /proc/kx/veth and /proc/kx/vmth
 * for a kernel that lacks them.  Each list is a text that root replaces
 * whole: what a writer wrote (after the old text when it appends) becomes
 * the content when it closes the file, unless one of its writes failed, and
 * readers see the text last committed, as the container kernel lists its
 * pairs.  Both start as the bare header.
 */
#include <linux/fcntl.h>
#include <linux/fs.h>
#include <linux/init.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>

/* Room for about a thousand pair lines. */
#define KX_MAX_TEXT (64 * 1024)

static const char kx_header[] = "Version: 1.0\n";

/* One list: its committed text, swapped whole under the lock. */
struct kx_list {
	const char *name;
	struct mutex lock;
	char *text;
	size_t len;
};

static struct kx_list kx_lists[] = {
	{ .name = "veth" },
	{ .name = "vmth" },
};

static struct proc_dir_entry *kx_dir;

/* One open file: the list, and a writer's draft of its next text. */
struct kx_open {
	struct kx_list *list;
	struct mutex lock;
	char *draft;
	size_t len;
	bool failed;
};

static int kx_show(struct seq_file *seq, void *unused)
{
	struct kx_open *open = seq->private;
	struct kx_list *list = open->list;

	mutex_lock(&list->lock);
	seq_write(seq, list->text, list->len);
	mutex_unlock(&list->lock);
	return 0;
}

/* An appending writer starts from the committed text. */
static int kx_start_draft(struct kx_open *open)
{
	struct kx_list *list = open->list;
	int err = 0;

	mutex_lock(&list->lock);
	if (list->len > 0) {
		open->draft = kmemdup(list->text, list->len, GFP_KERNEL);
		if (open->draft)
			open->len = list->len;
		else
			err = -ENOMEM;
	}
	mutex_unlock(&list->lock);
	return err;
}

static int kx_open_file(struct inode *inode, struct file *file)
{
	struct kx_open *open;
	int err;

	open = kzalloc(sizeof(*open), GFP_KERNEL);
	if (!open)
		return -ENOMEM;
	open->list = pde_data(inode);
	mutex_init(&open->lock);
	err = (file->f_mode & FMODE_WRITE) && (file->f_flags & O_APPEND) ? kx_start_draft(open) : 0;
	if (!err)
		err = single_open(file, kx_show, open);
	if (err) {
		kfree(open->draft);
		kfree(open);
	}
	return err;
}

/* Grows the draft to hold `end` bytes. */
static int kx_reserve(struct kx_open *open, size_t end)
{
	char *grown;

	if (end <= open->len)
		return 0;
	grown = krealloc(open->draft, end, GFP_KERNEL);
	if (!grown)
		return -ENOMEM;
	open->draft = grown;
	return 0;
}

/* Puts `count` bytes into the draft at `pos`; a hole past the end is
 * refused: the text has no gaps. */
static ssize_t kx_draft_write(struct kx_open *open, const char __user *buf, size_t count, loff_t pos)
{
	int err;

	if (pos < 0 || pos > open->len)
		return -EINVAL;
	if (count > KX_MAX_TEXT - pos)
		return -EFBIG;
	err = kx_reserve(open, pos + count);
	if (err)
		return err;
	if (copy_from_user(open->draft + pos, buf, count))
		return -EFAULT;
	open->len = max_t(size_t, open->len, pos + count);
	return count;
}

/* Writes land in the draft at the file position, or at its end when
 * appending.  A list cut short by a failed write is never published. */
static ssize_t kx_write(struct file *file, const char __user *buf, size_t count, loff_t *ppos)
{
	struct kx_open *open = ((struct seq_file *)file->private_data)->private;
	ssize_t result;
	loff_t pos;

	if (count == 0)
		return 0;
	mutex_lock(&open->lock);
	pos = (file->f_flags & O_APPEND) ? open->len : *ppos;
	result = kx_draft_write(open, buf, count, pos);
	if (result < 0)
		open->failed = true;
	else
		*ppos = pos + result;
	mutex_unlock(&open->lock);
	return result;
}

/* The draft becomes the list's text; the old text is freed with the open. */
static void kx_commit(struct kx_open *open)
{
	struct kx_list *list = open->list;

	mutex_lock(&list->lock);
	swap(list->text, open->draft);
	swap(list->len, open->len);
	mutex_unlock(&list->lock);
}

static int kx_release(struct inode *inode, struct file *file)
{
	struct kx_open *open = ((struct seq_file *)file->private_data)->private;

	if ((file->f_mode & FMODE_WRITE) && !open->failed)
		kx_commit(open);
	kfree(open->draft);
	kfree(open);
	return single_release(inode, file);
}

static const struct proc_ops kx_ops = {
	.proc_open = kx_open_file,
	.proc_read = seq_read,
	.proc_write = kx_write,
	.proc_lseek = seq_lseek,
	.proc_release = kx_release,
};

static void kx_free_lists(void)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(kx_lists); i++) {
		kfree(kx_lists[i].text);
		kx_lists[i].text = NULL;
	}
}

static int __init kx_init(void)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(kx_lists); i++) {
		mutex_init(&kx_lists[i].lock);
		kx_lists[i].len = sizeof(kx_header) - 1;
		kx_lists[i].text = kmemdup(kx_header, kx_lists[i].len, GFP_KERNEL);
		if (!kx_lists[i].text)
			goto no_memory;
	}
	/* Fails when the kernel has its own /proc/kx. */
	kx_dir = proc_mkdir("kx", NULL);
	if (!kx_dir) {
		kx_free_lists();
		return -EEXIST;
	}
	for (i = 0; i < ARRAY_SIZE(kx_lists); i++)
		if (!proc_create_data(kx_lists[i].name, 0644, kx_dir, &kx_ops, &kx_lists[i]))
			goto no_entry;
	return 0;

no_entry:
	proc_remove(kx_dir);
no_memory:
	kx_free_lists();
	return -ENOMEM;
}

/* proc_remove waits for running calls and releases the files still open. */
static void __exit kx_exit(void)
{
	proc_remove(kx_dir);
	kx_free_lists();
}

module_init(kx_init);
module_exit(kx_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("The container kernel's /proc/kx/veth and /proc/kx/vmth, written by root");
