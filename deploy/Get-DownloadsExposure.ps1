<#
.SYNOPSIS
    Finds every way an account other than SYSTEM, Administrators or
    TrustedInstaller can still change the agent's Downloads folder or what it
    holds: what the repair tool cannot change. Reads only; writes nothing.

.DESCRIPTION
    The repair tool copies one access list onto Downloads. It leaves owners,
    inherited entries, the folders above Downloads and what lies inside as they
    are. This audit decides, by Windows' own access-check rules, what other
    accounts may do on each of those, and returns one finding for each way it
    finds.

    The check (as Microsoft documents it in [MS-DTYP] 2.5.3.2): the entries
    that apply to an object are taken in order (inherit-only entries apply only
    to what is created below it); an allow entry grants the rights that no
    earlier deny entry denied, and a deny entry denies the rights that no
    earlier allow entry granted; generic rights are mapped through the file
    generic mapping; the owner may always read and change the list, unless an
    OWNER RIGHTS (S-1-3-4) entry applies, which then decides what the owner
    may do.

    It asks for a standard user's token (Everyone, Users, Authenticated Users,
    INTERACTIVE, LOCAL; where an entry names how an account logged on, each
    way of logging on in turn), and for each other account that owns or is
    named in the object's list, together with those groups; never for
    SYSTEM, Administrators, TrustedInstaller or the CREATOR placeholders. It
    reads the list as Windows holds it: a conditional entry that allows
    counts as granting, one that denies as denying nothing. What counts:
      - on Downloads and on everything inside it: write (create files),
        append (create folders), delete, delete children, change permissions
        (WRITE_DAC), take ownership (WRITE_OWNER), and on folders write
        attributes, with which an empty folder can be made a junction; on
        Downloads and the folders inside it also what their entries pass to
        what is created there (by SYSTEM, the agent) beyond what the same
        account may do on the folder itself;
      - on the two folders on the way to Downloads, and on the
        application-data folder itself: delete, delete children, change
        permissions and take ownership, the rights with which a folder, or
        what it holds, can be renamed away and replaced; where a folder on the
        way is missing and the agent is installed, who may create it (and
        would own it).
    Write extended attributes, and write attributes on files, are not
    counted: they change a file's attributes, not its contents or its list.

    The tree inside Downloads is walked breadth first without entering links,
    at most -MaxItems items and -MaxSeconds seconds. A reparse point is
    reported as a link from its listing, before anything else is read about
    it; a file with more than one name is reported too. What the walk could
    not see is a finding of its own: an item it could not read, a folder it
    could not list, an item listed that cannot be opened by its name, a name
    ending in a dot or a space (opening it by that name opens another item),
    the bound reached. The walk saw everything exactly when no finding has
    Kind NotSeen.

    An inherited grant inside Downloads is reported only where resetting what
    lies inside (icacls /reset) would remove it; one that a reset would give
    back comes from Downloads or a folder above and is reported there. On
    Downloads, each grant's remedy says whether the tool's next write takes
    it away (the program-files folder's explicit entries, inherited entries
    computed anew for the current owner) or keeps it.

    Each finding has Path, Sid, Account (the name where it resolves), Allows
    (the rights, by name), Why, Remedy, and Kind: Access, Link, HardLink,
    NotSeen or Key. Remedies are commands that work when typed into an
    elevated PowerShell; none follows a link.

.PARAMETER Summary
    For Intune Remediations (detection-only): prints one line and exits 1 when
    anything is found (saying whether everything was seen), prints "no
    exposure found" and exits 0 when not (then everything was seen).
    Remediations pass no arguments, so the script answers this way by itself
    where it runs as SYSTEM outside a console and outside a remote session, as
    the Intune Management Extension runs it; -Summary:$false there gives the
    objects.

.PARAMETER MaxItems
    How many items inside Downloads the walk looks at before it stops.

.PARAMETER MaxSeconds
    How long the walk inside Downloads may take before it stops.

.EXAMPLE
    .\Get-DownloadsExposure.ps1 | Format-List

.EXAMPLE
    Invoke-Command -ComputerName (Get-Content .\pilot.txt) -FilePath .\Get-DownloadsExposure.ps1 |
        Export-Csv -NoTypeInformation -Path .\exposure.csv

.NOTES
    Written for Windows PowerShell 5.1; uses nothing that PowerShell 7 or a
    plain Windows installation lacks. Run it elevated or as SYSTEM: what it
    cannot read is a finding of its own. In ConstrainedLanguage mode it cannot
    read access lists at all and refuses in one line on standard error with
    exit status 1.

    What each finding means and its remedy, and how to run the audit on a
    pilot: docs/deploying.md in the project's source, section "Pilot: before
    rollout"; after the repair tool refused a link or a file with two names:
    section "When the tool refuses: a link or a file with two names".

.LINK
    docs/deploying.md#pilot-before-rollout

.LINK
    docs/deploying.md#when-the-tool-refuses-a-link-or-a-file-with-two-names
#>
[CmdletBinding()]
param(
    [switch]$Summary,

    [ValidateRange(1, 10000000)]
    [int]$MaxItems = 100000,

    [ValidateRange(1, 86400)]
    [int]$MaxSeconds = 300
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$Suffix = 'Morvane Security', 'Morvane Devices Agent', 'Downloads'
$AgentKey = 'SOFTWARE\Morvane Security\Dovrix\Kelto Agent'
$Administrators = 'S-1-5-32-544'
$Trusted = @{
    'S-1-5-18'      = 'SYSTEM'
    $Administrators = 'Administrators'
    'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464' = 'TrustedInstaller'
}
# A standard user's token: Everyone, Users, Authenticated Users, and the SIDs
# of how it logged on. Interactive (INTERACTIVE, LOCAL) unless an entry names
# a logon SID: then each way of logging on is asked in turn, since a deny on
# one of them binds only those who logged on that way.
$StandardUser = 'S-1-1-0', 'S-1-5-32-545', 'S-1-5-11'
$Interactive = 'S-1-5-4', 'S-1-2-0'
$LogonSids = 'S-1-5-4', 'S-1-2-0', 'S-1-2-1', 'S-1-5-14', 'S-1-5-3', 'S-1-5-6', 'S-1-5-2'
$LogonWays = @(@('S-1-5-4', 'S-1-2-0', 'S-1-2-1'), @('S-1-5-4', 'S-1-5-14', 'S-1-2-0'), @('S-1-5-3', 'S-1-2-0'),
    @('S-1-5-6', 'S-1-2-0'), @(, 'S-1-5-2'))
$CreatorOwner = 'S-1-3-0'
$OwnerRights = 'S-1-3-4'
# Placeholders that stand for whoever owns or creates an object: no token holds them.
$Placeholder = '^S-1-3-'

$Write = 0x2; $Append = 0x4; $DeleteChild = 0x40; $WriteAttributes = 0x100; $Delete = 0x10000
$ReadControl = 0x20000; $WriteDac = 0x40000; $WriteOwner = 0x80000
$InheritOnly = 2; $NoPropagate = 1; $ObjectInherit = 1; $ContainerInherit = 2
# The file generic mapping: GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE, GENERIC_ALL.
$GenericMapping = @(
    @([long]2147483648, [long]0x120089), @([long]0x40000000, [long]0x120116),
    @([long]0x20000000, [long]0x1200A0), @([long]0x10000000, [long]0x1F01FF))
# What lets an account change a folder on the way, or move what it holds away.
$WayRights = $DeleteChild -bor $Delete -bor $WriteDac -bor $WriteOwner

# ---------------------------------------------------------------------------
# What Windows says, as plain data. The tests replace these.

function Get-AppDataFolder {
    [Environment]::GetFolderPath('CommonApplicationData')
}

# The 32-bit program-files folder, whose list the tool copies.
function Get-ProgramFilesFolder {
    [Environment]::GetFolderPath('ProgramFilesX86')
}

# An item as the audit sees it: whether it exists and is a folder, whether it
# is a reparse point, whether (a file) it has more than one name, its owner's
# SID and its access entries (explicit and inherited, in order: SID, Allow or
# Deny, rights, inherited, inheritance and propagation flags, as numbers).
# The list of a reparse point is not read: reading it by name may follow it.
# Error holds why it could not be read.
function Get-ItemFacts {
    param([string]$Path)
    $facts = [ordered]@{ Path = $Path; Exists = $false; IsFolder = $false; IsReparsePoint = $false
        IsHardLinked = $false; Owner = $null; Entries = @(); Error = $null }
    try {
        $item = Get-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue
        if ($null -eq $item) {
            return [pscustomobject]$facts
        }
        $facts.Exists = $true
        $facts.IsFolder = [bool]$item.PSIsContainer
        $facts.IsReparsePoint = [bool]($item.Attributes -band [System.IO.FileAttributes]::ReparsePoint)
        if ($facts.IsReparsePoint) {
            return [pscustomobject]$facts
        }
        $facts.IsHardLinked = -not $item.PSIsContainer -and "$($item.LinkType)" -eq 'HardLink'
        $acl = Get-Acl -LiteralPath $Path
        $facts.Owner = $acl.GetOwner([System.Security.Principal.SecurityIdentifier]).Value
        # The list as Windows holds it: GetAccessRules leaves out conditional
        # (callback) entries, which may grant.
        $raw = New-Object System.Security.AccessControl.RawSecurityDescriptor -ArgumentList @(, $acl.GetSecurityDescriptorBinaryForm()), 0
        $facts.Entries = if ($null -eq $raw.DiscretionaryAcl) {
            # No list at all admits everyone.
            @([pscustomobject]@{ Sid = 'S-1-1-0'; Type = 'Allow'; Rights = [long]0x1F01FF; Inherited = $false; Inheritance = 0; Propagation = 0 })
        } else {
            @(foreach ($ace in $raw.DiscretionaryAcl) {
                    $known = $ace -is [System.Security.AccessControl.QualifiedAce]
                    ConvertFrom-RawAce ([pscustomobject]@{
                            Qualifier = $(if ($known) { "$($ace.AceQualifier)" } else { "$($ace.AceType)" })
                            Callback = $known -and $ace.IsCallback; Sid = $(if ($known) { $ace.SecurityIdentifier.Value })
                            Mask = [long]$ace.AccessMask; Flags = [int]$ace.AceFlags
                        })
                })
        }
    } catch {
        $facts.Error = $_.Exception.Message
    }
    [pscustomobject]$facts
}

# What a folder holds, as its listing shows it: each child's full path and
# whether it is a reparse point. Links are listed, never entered.
function Get-ChildPath {
    param([string]$Path)
    @(Get-ChildItem -LiteralPath $Path -Force | ForEach-Object {
            [pscustomobject]@{ Path = $_.FullName; IsReparsePoint = [bool]($_.Attributes -band [System.IO.FileAttributes]::ReparsePoint) }
        })
}

# Whether the agent's key, in the 32-bit view, opens as the tool opens it:
# 'missing', 'full access', or why it refused.
function Get-AgentKeyAccess {
    $machine = [Microsoft.Win32.RegistryKey]::OpenBaseKey([Microsoft.Win32.RegistryHive]::LocalMachine,
        [Microsoft.Win32.RegistryView]::Registry32)
    try {
        $key = $machine.OpenSubKey($AgentKey, [Microsoft.Win32.RegistryKeyPermissionCheck]::ReadWriteSubTree,
            [System.Security.AccessControl.RegistryRights]::FullControl)
        if ($null -eq $key) {
            return 'missing'
        }
        $key.Dispose()
        'full access'
    } catch [System.Security.SecurityException], [System.UnauthorizedAccessException] {
        "refused: $($_.Exception.Message)"
    } finally {
        $machine.Dispose()
    }
}

# SYSTEM with no console and no remote caller: how Intune runs a Remediation.
function Test-UnattendedSystem {
    try {
        -not [Environment]::UserInteractive -and -not (Test-Path -LiteralPath 'variable:PSSenderInfo') -and
            [System.Security.Principal.WindowsIdentity]::GetCurrent().User.Value -eq 'S-1-5-18'
    } catch {
        $false
    }
}

function Resolve-Account {
    param([string]$Sid)
    try {
        (New-Object System.Security.Principal.SecurityIdentifier $Sid).Translate([System.Security.Principal.NTAccount]).Value
    } catch {
        $null
    }
}

# ---------------------------------------------------------------------------
# The access check, over plain data.

# An entry's rights as an unsigned 32-bit mask, generic rights mapped.
function Get-MappedRights {
    param([long]$Rights)
    $mask = $Rights -band [long]4294967295
    foreach ($map in $GenericMapping) {
        if ($mask -band $map[0]) {
            $mask = ($mask -band (-bnot $map[0])) -bor $map[1]
        }
    }
    $mask
}

# One entry of a list as Windows holds it, as the check reads it. A
# conditional allow counts as granting, a conditional deny as denying
# nothing: whether their condition holds is not known here. An entry of a
# kind the check cannot judge makes the item unreadable.
function ConvertFrom-RawAce {
    param($Ace)
    $type = switch ($Ace.Qualifier) {
        'AccessAllowed' { 'Allow' }
        'AccessDenied' { if ($Ace.Callback) { 'ConditionalDeny' } else { 'Deny' } }
        default { throw "its list holds an entry of a kind the audit cannot judge ($($Ace.Qualifier))" }
    }
    $flags = $Ace.Flags
    [pscustomobject]@{
        Sid = $Ace.Sid; Type = $type; Rights = $Ace.Mask; Inherited = [bool]($flags -band 0x10)
        Inheritance = $flags -band 3; Propagation = [int][bool]($flags -band 4) + 2 * [int][bool]($flags -band 8)
        Conditional = [bool]$Ace.Callback
    }
}

# What an account holding the SIDs in Token may do on an object with this
# owner and these entries, by the access check of [MS-DTYP] 2.5.3.2 asked for
# MAXIMUM_ALLOWED, without privileges. Hands back Granted (the mask) and
# Sources: for each right granted, the SID to which it was granted and how
# ('owner', 'OWNER RIGHTS entry', 'explicit entry', 'inherited entry') and
# the entry itself.
function Get-EffectiveAccess {
    param([string]$Owner, $Entries, [string[]]$Token)
    $granted = [long]0
    $denied = [long]0
    $sources = @{}
    $isOwner = [bool]$Owner -and $Token -contains $Owner
    $applying = @($Entries | Where-Object { -not ($_.Propagation -band $InheritOnly) })
    if ($isOwner -and -not ($applying | Where-Object { $_.Sid -eq $OwnerRights })) {
        $granted = [long]($ReadControl -bor $WriteDac)
        foreach ($bit in $ReadControl, $WriteDac) { $sources[[long]$bit] = @{ Sid = $Owner; How = 'owner'; Entry = $null } }
    }
    foreach ($entry in $applying) {
        $owners = $entry.Sid -eq $OwnerRights -and $isOwner
        if (-not $owners -and $Token -notcontains $entry.Sid) {
            continue
        }
        $mask = Get-MappedRights $entry.Rights
        if ($entry.Type -eq 'Deny') {
            $denied = $denied -bor ($mask -band (-bnot $granted))
            continue
        }
        if ($entry.Type -ne 'Allow') {
            continue
        }
        $new = $mask -band (-bnot ($granted -bor $denied))
        $granted = $granted -bor $new
        $how = if ($owners) { 'OWNER RIGHTS entry' } elseif ($entry.Inherited) { 'inherited entry' } else { 'explicit entry' }
        $sid = if ($owners) { $Owner } else { $entry.Sid }
        for ($bit = [long]1; $bit -le $new; $bit = $bit * 2) {
            if ($new -band $bit) { $sources[$bit] = @{ Sid = $sid; How = $how; Entry = $entry } }
        }
    }
    [pscustomobject]@{ Granted = $granted; Sources = $sources }
}

# The entries Windows gives a new child of a folder with these entries, owned
# by Owner (the ACE inheritance rules: object-inherit entries pass to files,
# container-inherit entries to folders, and on to their children unless
# no-propagate; CREATOR OWNER becomes the child's owner, and generic rights
# are mapped, in the entry that applies to the child, with an inherit-only
# copy kept for what is created below it). Each carries From: the entry it
# came from.
function Get-InheritedEntries {
    param($Parent, [bool]$IsFolder, [string]$Owner)
    foreach ($entry in $Parent) {
        $toFiles = $entry.Inheritance -band $ObjectInherit
        $toFolders = $entry.Inheritance -band $ContainerInherit
        $stops = $entry.Propagation -band $NoPropagate
        $base = @{ Type = $entry.Type; Inherited = $true; From = $entry }
        $sid = if ($entry.Sid -eq $CreatorOwner) { $Owner } elseif ($entry.Sid -match $Placeholder -and $entry.Sid -ne $OwnerRights) { $null } else { $entry.Sid }
        $applies = if ($IsFolder) { $toFolders } else { $toFiles }
        $passesOn = $IsFolder -and -not $stops -and ($toFiles -or $toFolders)
        $mapped = Get-MappedRights $entry.Rights
        $split = $passesOn -and $applies -and ($sid -ne $entry.Sid -or $mapped -ne ($entry.Rights -band [long]4294967295))
        if ($applies -and $sid) {
            $flags = if ($passesOn -and -not $split) { $entry.Inheritance } else { 0 }
            [pscustomobject]($base + @{ Sid = $sid; Rights = $mapped; Inheritance = $flags; Propagation = 0 })
        }
        if ($passesOn -and (-not $applies -or $split)) {
            [pscustomobject]($base + @{ Sid = $entry.Sid; Rights = $entry.Rights; Inheritance = $entry.Inheritance; Propagation = $InheritOnly })
        }
    }
}

# The accounts asked about on an object: a standard user, and each other
# account that owns it or is named in its entries, with a standard user's
# groups; each for every way of logging on that an entry tells apart.
function Get-AskedToken {
    param([string]$Owner, $Entries)
    $named = @($Entries | ForEach-Object { $_.Sid })
    $ways = @(, $Interactive)
    if (@($named | Where-Object { $LogonSids -contains $_ }).Count) {
        $ways = $LogonWays
    }
    $others = @(@($Owner) + $named | Where-Object {
            $_ -and -not $Trusted.ContainsKey($_) -and $_ -notmatch $Placeholder -and $StandardUser -notcontains $_ -and $LogonSids -notcontains $_
        } | Sort-Object -Unique)
    foreach ($way in $ways) {
        , ($StandardUser + $way)
        foreach ($sid in $others) {
            , (@($sid) + $StandardUser + $way)
        }
    }
}

# The rights in Mask that the asked accounts hold on an object, grouped by the
# SID they were granted to and how: one object each with Sid, How, AsOwner
# (granted as the owner, which no reset changes), Rights, Entry and Lasting:
# with Reset (the entries the object would have after its explicit entries
# are replaced and its inherited ones recomputed), the rights an entry grants
# that Reset would grant to the same SID again.
function Get-OtherAccess {
    param([string]$Owner, $Entries, [long]$Mask, $Reset = $null)
    $found = [ordered]@{}
    foreach ($token in Get-AskedToken $Owner $Entries) {
        $access = Get-EffectiveAccess -Owner $Owner -Entries $Entries -Token $token
        $after = if ($null -ne $Reset) { Get-EffectiveAccess -Owner $Owner -Entries $Reset -Token $token } else { $null }
        foreach ($bit in @($access.Sources.Keys)) {
            $source = $access.Sources[$bit]
            if (-not ($bit -band $Mask) -or $Trusted.ContainsKey($source.Sid)) {
                continue
            }
            $key = "$($source.Sid)|$($source.How)"
            if (-not $found.Contains($key)) {
                $asOwner = $source.How -eq 'owner' -or $source.How -eq 'OWNER RIGHTS entry'
                $found[$key] = @{ Sid = $source.Sid; How = $source.How; AsOwner = $asOwner; Rights = [long]0; Lasting = [long]0; Entry = $source.Entry }
            }
            $found[$key].Rights = $found[$key].Rights -bor $bit
            if (-not $found[$key].AsOwner -and $after -and $after.Sources.ContainsKey($bit) -and $after.Sources[$bit].Sid -eq $source.Sid) {
                $found[$key].Lasting = $found[$key].Lasting -bor $bit
            }
        }
    }
    foreach ($value in $found.Values) { [pscustomobject]$value }
}

# What a standard user may do on an object, by name: for people and tests.
function Get-StandardUserRights {
    param([string]$Owner, $Entries, [bool]$IsFolder)
    $granted = [long]0
    foreach ($token in @(Get-AskedToken $null $Entries | Where-Object { $_[0] -eq $StandardUser[0] })) {
        $granted = $granted -bor (Get-EffectiveAccess -Owner $Owner -Entries $Entries -Token $token).Granted
    }
    Get-RightName $granted $IsFolder
}

# ---------------------------------------------------------------------------
# Findings, over plain data.

function Get-RightName {
    param([long]$Rights, [bool]$IsFolder)
    $names = if ($IsFolder) {
        @(@($Write, 'write (create files)'), @($Append, 'append (create folders)'), @($DeleteChild, 'delete children'),
            @($WriteAttributes, 'write attributes (an empty folder can be made a junction)'))
    } else {
        @(@($Write, 'write'), @($Append, 'append'))
    }
    $names += @(@($Delete, 'delete'), @($WriteDac, 'change permissions'), @($WriteOwner, 'take ownership'))
    @($names | Where-Object { $Rights -band $_[0] } | ForEach-Object { $_[1] }) -join ', '
}

# Quoted for PowerShell: a single-quoted string, so that nothing in a path is
# read as code or splits an argument.
function Format-Quoted {
    param([string]$Text)
    "'" + $Text.Replace("'", "''") + "'"
}

function New-Finding {
    param([string]$Kind, [string]$Path, [string]$Sid, [string]$Allows, [string]$Why, [string]$Remedy)
    [pscustomobject][ordered]@{
        Path = $Path; Sid = $Sid; Account = $(if ($Sid) { Resolve-Account $Sid }); Allows = $Allows; Why = $Why; Remedy = $Remedy; Kind = $Kind
    }
}

# How an account came by its rights, in words.
function Format-How {
    param($Grant)
    switch ($Grant.How) {
        'owner' { 'as its owner, who may always change its list' }
        'OWNER RIGHTS entry' { 'as its owner, through an OWNER RIGHTS entry' }
        default {
            $entry = $Grant.Entry
            $reach = if ($entry.Inheritance) { ", inheritance $($entry.Inheritance)/$($entry.Propagation)" } else { '' }
            "through an $($Grant.How) ($(Format-Entry $entry)$reach)"
        }
    }
}

# What the asked accounts may do on what is created inside a folder (by
# SYSTEM, the agent, and so owned by Administrators) through the entries it
# passes on, beyond what the same account may already do on the folder
# itself; with Reset (the folder's entries after a reset), leaving out what a
# reset would give back. One object per SID: Sid, Rights and Entry, the
# folder's entry that passes it on.
function Find-NewChildAccess {
    param($Folder, $Reset = $null)
    $own = @{}
    foreach ($grant in Get-OtherAccess $Folder.Owner $Folder.Entries (Get-CountedRights $true)) {
        $own[$grant.Sid] = [long]$own[$grant.Sid] -bor $grant.Rights
    }
    $found = [ordered]@{}
    foreach ($isFolder in $true, $false) {
        $entries = @(Get-InheritedEntries $Folder.Entries $isFolder $Administrators)
        $after = $null
        if ($null -ne $Reset) { $after = @(Get-InheritedEntries $Reset $isFolder $Administrators) }
        foreach ($grant in Get-OtherAccess $Administrators $entries (Get-CountedRights $isFolder) -Reset $after) {
            $rights = $grant.Rights -band (-bnot ($grant.Lasting -bor [long]$own[$grant.Sid]))
            if (-not $rights) { continue }
            if (-not $found.Contains($grant.Sid)) {
                $found[$grant.Sid] = @{ Sid = $grant.Sid; Rights = [long]0; Entry = $grant.Entry.From }
            }
            $found[$grant.Sid].Rights = $found[$grant.Sid].Rights -bor $rights
        }
    }
    foreach ($value in $found.Values) { [pscustomobject]$value }
}

# What counts on Downloads and inside it: what changes an item or what a
# folder holds. Write attributes lets an account make an empty folder a
# junction ([MS-FSA] 2.1.5.10.37 asks for write data or write attributes).
function Get-CountedRights {
    param([bool]$IsFolder)
    $rights = $Write -bor $Append -bor $Delete -bor $WriteDac -bor $WriteOwner
    if ($IsFolder) { $rights = $rights -bor $DeleteChild -bor $WriteAttributes }
    $rights
}

function Format-Entry {
    param($Entry)
    '{0} 0x{1:X8}' -f $(if ($Entry.PSObject.Properties['Conditional'] -and $Entry.Conditional) { 'conditional Allow' } else { 'Allow' }),
        ([long]$Entry.Rights -band [long]4294967295)
}

# Downloads itself. Reset: the entries the tool's next write leaves, the
# program-files folder's explicit entries and the inherited ones Windows
# computes anew for the current owner.
function Find-DownloadsExposure {
    param($Downloads, $Reset)
    $quoted = Format-Quoted $Downloads.Path
    $rewrite = 'it replaces Downloads'' explicit entries with the program-files folder''s, and Windows computes the inherited ones anew'
    $dropInheritance = "If removing inheritance is your decision: icacls $quoted /inheritance:r /c /l (the copied entries stay)"
    $takeOwnership = "icacls $quoted /setowner '*$Administrators' /c /l"
    foreach ($grant in Get-OtherAccess $Downloads.Owner $Downloads.Entries (Get-CountedRights $true) -Reset $Reset) {
        $why = "may change Downloads: $(Format-How $grant)"
        if ($grant.AsOwner) {
            New-Finding Access $Downloads.Path $grant.Sid (Get-RightName $grant.Rights $true) $why $takeOwnership
            continue
        }
        $passing = $grant.Rights -band (-bnot $grant.Lasting)
        if ($passing) {
            $remedy = if ($grant.Sid -eq $Downloads.Owner) { "$takeOwnership; then run the tool: $rewrite" } else { "Run the tool: $rewrite" }
            New-Finding Access $Downloads.Path $grant.Sid (Get-RightName $passing $true) "$why; the tool's next write takes it away" $remedy
        }
        if ($grant.Lasting) {
            $remedy = if ($grant.How -eq 'inherited entry') { $dropInheritance }
            else { 'The program-files folder''s own list grants this, and the tool copies it: review that folder''s list' }
            New-Finding Access $Downloads.Path $grant.Sid (Get-RightName $grant.Lasting $true) "$why; the tool keeps it" $remedy
        }
    }
    foreach ($grant in Find-NewChildAccess $Downloads) {
        $remedy = if ($grant.Entry.Inherited) { $dropInheritance } else { "Run the tool: $rewrite" }
        New-Finding Access $Downloads.Path $grant.Sid (Get-RightName $grant.Rights $true) `
            "may change what is created inside Downloads: an entry Downloads passes on gives it ($(Format-Entry $grant.Entry))" $remedy
    }
}

# A folder on the way (or the application-data folder itself): who may take
# it over or move what it holds.
function Find-WayExposure {
    param($Folder)
    $quoted = Format-Quoted $Folder.Path
    foreach ($grant in Get-OtherAccess $Folder.Owner $Folder.Entries $WayRights) {
        $remove = "icacls $quoted /remove:g $(Format-Quoted ('*' + $grant.Sid)) /c /l"
        $remedy = switch ($grant.How) {
            'explicit entry' { $remove }
            'inherited entry' { "icacls $quoted /inheritance:d /c /l; $remove (the inherited entries become explicit, then this account's go)" }
            default { "icacls $quoted /setowner '*$Administrators' /c /l" }
        }
        New-Finding Access $Folder.Path $grant.Sid (Get-RightName $grant.Rights $true) `
            "may rename or replace what this folder on the way to Downloads holds, or take it over: $(Format-How $grant)" $remedy
    }
}

# A folder on the way that does not exist: who may create it in the folder
# above, and would then own it.
function Find-CreateExposure {
    param($Parent, [string]$Path)
    foreach ($grant in Get-OtherAccess $Parent.Owner $Parent.Entries $Append) {
        New-Finding Access $Parent.Path $grant.Sid (Get-RightName $grant.Rights $true) `
            "may create $($Path.Substring($Path.LastIndexOf('\') + 1)), which the agent has not made yet, and would own it: $(Format-How $grant)" `
            "Create it as an administrator before anyone else does: New-Item -ItemType Directory -Path $(Format-Quoted $Path)"
    }
}

# One item inside Downloads that could be read; Reset holds the entries it
# would have after icacls /reset.
function Find-ItemExposure {
    param($Item, [string]$Downloads, $Reset)
    $quoted = Format-Quoted $Item.Path
    if ($Item.IsHardLinked) {
        New-Finding HardLink $Item.Path $Item.Owner '' `
            'a file with more than one name: a change to its list through Downloads changes it wherever its other names lie' `
            "fsutil hardlink list $quoted shows its names; Remove-Item -LiteralPath $quoted removes this one only"
    }
    $inside = Format-Quoted ($Downloads + '\*')
    $resetInside = "icacls $inside /reset /t /c /l"
    foreach ($grant in Get-OtherAccess $Item.Owner $Item.Entries (Get-CountedRights $Item.IsFolder) -Reset $Reset) {
        $rights = $grant.Rights -band (-bnot $grant.Lasting)
        if (-not $rights) {
            # A reset gives it back: it comes from Downloads or above, and is reported there.
            continue
        }
        if ($grant.Sid -eq $Item.Owner) {
            New-Finding Access $Item.Path $grant.Sid (Get-RightName $rights $Item.IsFolder) `
                "may change this item inside Downloads, which it owns: $(Format-How $grant); entries mapped from CREATOR OWNER stay until a reset" `
                "icacls $inside /setowner '*$Administrators' /t /c /l; $resetInside"
        } else {
            $mapped = if ($grant.How -eq 'inherited entry') { ' (an entry Windows made from CREATOR OWNER for an earlier owner stays until a reset)' } else { '' }
            New-Finding Access $Item.Path $grant.Sid (Get-RightName $rights $Item.IsFolder) `
                "may change this item inside Downloads: $(Format-How $grant)$mapped" $resetInside
        }
    }
    if ($Item.IsFolder) {
        foreach ($grant in Find-NewChildAccess $Item $Reset) {
            New-Finding Access $Item.Path $grant.Sid (Get-RightName $grant.Rights $true) `
                "may change what is created inside this folder: an entry it passes on gives it ($(Format-Entry $grant.Entry))" $resetInside
        }
    }
}

function New-NotSeen {
    param([string]$Path, [string]$Why, [string]$Remedy = 'Run the audit again as SYSTEM or elevated; take ownership of what still cannot be read')
    New-Finding NotSeen $Path $null '' "not seen: $Why" $Remedy
}

function New-LinkFinding {
    param([string]$Path, [string]$Where)
    $quoted = Format-Quoted $Path
    New-Finding Link $Path $null '' "a reparse point (junction, symbolic link, mount point or other) $Where" `
        ("Find out who made it; fsutil reparsepoint query $quoted shows its kind; for a junction (tag 0xA0000003) or symbolic link (0xA000000C), " +
            "(Get-Item -LiteralPath $quoted -Force).Delete() removes the link, not what it leads to")
}

# Walks the tree inside Downloads breadth first, entering no reparse point,
# until it has seen MaxItems items or spent MaxSeconds, and hands back every
# finding inside. What it could not see is a NotSeen finding. Reset: the
# entries Downloads passes its children after a reset.
function Find-TreeExposure {
    param($Downloads, $Reset, [int]$MaxItems, [int]$MaxSeconds)
    $clock = [System.Diagnostics.Stopwatch]::StartNew()
    $queue = New-Object System.Collections.Queue
    $queue.Enqueue(@{ Path = $Downloads.Path; Reset = $Reset })
    $seen = 0
    while ($queue.Count -gt 0) {
        $folder = $queue.Dequeue()
        try {
            $children = @(Get-ChildPath $folder.Path)
        } catch {
            New-NotSeen $folder.Path "what this folder holds could not be listed: $($_.Exception.Message)"
            continue
        }
        foreach ($child in $children) {
            if ($seen -ge $MaxItems -or $clock.Elapsed.TotalSeconds -ge $MaxSeconds) {
                return New-NotSeen $Downloads.Path "the walk inside Downloads stopped early, after $seen items: what lies beyond was not looked at" `
                    'Run the audit again with a larger -MaxItems or -MaxSeconds'
            }
            $seen++
            $longName = Format-Quoted ('\\?\' + $child.Path)
            if ($child.IsReparsePoint) {
                New-LinkFinding $child.Path 'inside Downloads: Windows'' walk over Downloads may follow it'
                continue
            }
            if ($child.Path -match '[. ]$') {
                # Windows strips a trailing dot or space from a name it is given, so this name opens another item, or none.
                New-NotSeen $child.Path 'its name ends in a dot or a space, so opening it by name opens something else; it was not looked at' `
                    "Look at it through its full name: Get-Item -LiteralPath $longName -Force; rename it through that name"
                continue
            }
            $facts = Get-ItemFacts $child.Path
            if ($facts.Error) {
                New-NotSeen $child.Path "could not be read: $($facts.Error)"
            } elseif (-not $facts.Exists) {
                New-NotSeen $child.Path 'listed inside Downloads, but it cannot be opened by its name (it has gone since, or its path is too long)' `
                    "Look at it through its full name: Get-Item -LiteralPath $longName -Force"
            } elseif ($facts.IsReparsePoint) {
                New-LinkFinding $child.Path 'inside Downloads: Windows'' walk over Downloads may follow it'
            } else {
                $childReset = @(Get-InheritedEntries $folder.Reset $facts.IsFolder $facts.Owner)
                Find-ItemExposure $facts $Downloads.Path $childReset
                if ($facts.IsFolder) {
                    $queue.Enqueue(@{ Path = $child.Path; Reset = $childReset })
                }
            }
        }
    }
}

# Every finding on this machine.
function Get-Exposure {
    param([int]$MaxItems, [int]$MaxSeconds)
    $key = Get-AgentKeyAccess
    if ($key -like 'refused*') {
        New-Finding Key "HKLM\$AgentKey (32-bit view)" $null 'full access refused' `
            "the agent's key refuses full access: the tool opens it for full access and does nothing where it cannot ($key)" `
            'Give SYSTEM full control of the key (regedit, Permissions), or ask the agent''s vendor'
    }
    $appData = Get-AppDataFolder
    if (-not $appData) {
        return New-NotSeen '' 'Windows names no machine-wide application-data folder' 'Check the machine''s shell folders'
    }
    # Built as the tool builds it: one backslash, unless there is one already.
    $path = $appData.TrimEnd('\')
    $above = Get-ItemFacts $path
    if ($above.Error) {
        return New-NotSeen $path "could not be read: $($above.Error)"
    }
    Find-WayExposure $above
    foreach ($part in $Suffix) {
        $path = "$path\$part"
        $folder = Get-ItemFacts $path
        if ($folder.Error) {
            return New-NotSeen $folder.Path "could not be read: $($folder.Error)"
        }
        if (-not $folder.Exists) {
            # Nothing to repair; but whoever may create it would own it, once the agent is here.
            if ($key -ne 'missing') {
                Find-CreateExposure $above $path
            }
            return
        }
        if ($folder.IsReparsePoint) {
            return New-LinkFinding $folder.Path 'on the way to Downloads: the tool refuses it (status 681)'
        }
        if (-not $folder.IsFolder) {
            return New-NotSeen $folder.Path 'a file where a folder on the way to Downloads should be: the tool refuses it (status 681 or 267)' `
                'Find out who made it before removing it'
        }
        if ($part -ne $Suffix[-1]) {
            Find-WayExposure $folder
            $above = $folder
        }
    }
    # What the tool's next write leaves on Downloads, and passes to what it holds.
    $programFiles = Get-ItemFacts (Get-ProgramFilesFolder)
    if ($programFiles.Error -or -not $programFiles.Exists) {
        return New-NotSeen $programFiles.Path "the program-files folder's list could not be read: $($programFiles.Error)"
    }
    $reset = @($programFiles.Entries | Where-Object { -not $_.Inherited }) + @(Get-InheritedEntries $above.Entries $true $folder.Owner)
    Find-DownloadsExposure $folder $reset
    Find-TreeExposure $folder $folder.Entries -MaxItems $MaxItems -MaxSeconds $MaxSeconds
}

# The one line of -Summary, and the exit status that goes with it.
function Format-ExposureSummary {
    param($Findings)
    $found = @($Findings)
    if ($found.Count -eq 0) {
        return [pscustomobject]@{ Line = 'no exposure found'; Status = 0 }
    }
    $kinds = @($found | Group-Object -Property { ($_.Why -split '[:;.]')[0] } | Sort-Object -Property Count -Descending |
            ForEach-Object { '{0} x {1}' -f $_.Count, $_.Name })
    $seen = if (@($found | Where-Object { $_.Kind -eq 'NotSeen' }).Count) { 'not everything seen' } else { 'everything seen' }
    [pscustomobject]@{ Line = "$($found.Count) exposure finding(s), $seen`: $($kinds -join '; ')"; Status = 1 }
}

# Dot-sourced (as the tests do), the script only defines its functions.
if ($MyInvocation.InvocationName -eq '.') {
    return
}
if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
    # One line on standard error in 5.1 and 7 alike.
    $global:ErrorView = 'CategoryView'
    Write-Error -Category SecurityError -CategoryActivity 'Get-DownloadsExposure.ps1' `
        -CategoryTargetName $ExecutionContext.SessionState.LanguageMode `
        -CategoryReason 'needs FullLanguage; use the signed copy' -Message 'needs FullLanguage mode' -ErrorAction Continue
    exit 1
}
if (-not $PSBoundParameters.ContainsKey('Summary')) {
    $Summary = [switch](Test-UnattendedSystem)
}
try {
    $findings = @(Get-Exposure -MaxItems $MaxItems -MaxSeconds $MaxSeconds)
} catch {
    if (-not $Summary) {
        throw
    }
    # Remediations show this line; the device counts as needing attention.
    Write-Output "the audit failed: $($_.Exception.Message)"
    exit 1
}
if ($Summary) {
    $verdict = Format-ExposureSummary $findings
    Write-Output $verdict.Line
    exit $verdict.Status
}
$findings
